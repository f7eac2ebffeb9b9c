# Passes a program's --help text to help2man in the forms it reads:
#   awk -v name=PROGRAM -f help-filter.awk
# - further usage lines ("       PROGRAM ..." under "Usage: PROGRAM ...")
#   become "  or:  PROGRAM ...", which help2man puts in the SYNOPSIS;
# - the paragraph starting "Exit status:" becomes an EXIT STATUS section;
# - the lines of an "Examples:" block get a leading "$ ", which help2man
#   sets as commands in the EXAMPLES section.
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
examples && /^ +[^ ]/ { sub(/^ +/, "  $ ") }
/^Examples:$/ { examples = 1 }
{ print }
