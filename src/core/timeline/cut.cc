// The comparison model read from JsonValue documents.
#include "core/timeline/cut.h"

#include "core/timeline/cut_read.h"
#include "core/timeline/json_view.h"

namespace tesmo {

std::string track_label(TrackKind kind, std::size_t index_in_kind) {
  const char letter = kind == TrackKind::Video ? 'V' : kind == TrackKind::Audio ? 'A' : 'O';
  return letter + std::to_string(index_in_kind + 1);
}

Result<Cut> read_cut(const JsonValue& root) { return cut_read::read(JsonView<const JsonValue>(&root)); }

}  // namespace tesmo
