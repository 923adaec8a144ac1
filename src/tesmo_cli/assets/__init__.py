"""The change report page's markup, style and script, read by report.py and
inlined into each report."""
