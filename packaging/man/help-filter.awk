# Passes a program's --help text to help2man in the forms it reads:
#   awk -v name=PROGRAM -f help-filter.awk
# - further usage lines ("       PROGRAM ..." under "Usage: PROGRAM ...")
#   become "  or:  PROGRAM ...", which help2man puts in the SYNOPSIS;
# - the paragraph starting "Exit status:" becomes an EXIT STATUS section;
# - an "Examples:" block is left out (the .h2m file's EXAMPLES explain them).
# Everything else goes through unchanged.
/^$/ { body = 1; examples = 0 }
!body && NR > 1 && index($0, " " name " ") > 0 && $1 == name { sub(/^ +/, "  or:  ") }
/^Exit status:/ {
  print ""
  print "*Exit status*"
  print ""
  sub(/^Exit status: */, "")
  if ($0 == "") next
}
# The examples are left out here: the page's EXAMPLES section explains each
# one (packaging/man/PROGRAM.h2m), which a bare list of commands would not.
examples && /^ +[^ ]/ { next }
/^Examples:$/ { examples = 1; next }
{ print }
