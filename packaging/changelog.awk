# SPDX-License-Identifier: MIT
# Turns CHANGELOG.md into a Debian changelog:
#   awk -v package=eolfix -v maintainer='Name <mail>' -v out=changelog -f changelog.awk CHANGELOG.md
# or, with -v epoch=1, prints the newest release's date in seconds since 1970 (for builds without git).

# Days from 1970-01-01 to a Gregorian date, counting years from March so leap days come last.
function days(y, m, d) {
    if (m <= 2) { y--; m += 12 }
    return 365 * y + int(y / 4) - int(y / 100) + int(y / 400) + int((153 * (m - 3) + 2) / 5) + d - 719469
}
function fail(why) {
    printf "%s:%d: %s\n", FILENAME, FNR, why > "/dev/stderr"
    failed = 1
    exit 1
}
function close_entry() {
    if (open) printf "\n -- %s  %s\n", maintainer, stamp > out
    open = 0
}
BEGIN { if (out == "") out = "/dev/stdout" }

# What is not released yet waits under `## Unreleased`; a release's version and date come later.
/^## Unreleased$/ { close_entry(); next }
/^## / {
    date = $3
    if (NF != 3 || date !~ /^\([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/)
        fail("a release heading is `## <version> (<year>-<month>-<day>)`")
    split(substr(date, 2, 10), ymd, "-")
    n = days(ymd[1] + 0, ymd[2] + 0, ymd[3] + 0)
    if (epoch) { printf "%.0f\n", n * 86400; found = 1; exit }
    close_entry()
    if (entries++) print "" > out
    printf "%s (%s) unstable; urgency=medium\n\n", package, $2 > out
    stamp = sprintf("%s, %s %s %s 00:00:00 +0000", substr("ThuFriSatSunMonTueWed", n % 7 * 3 + 1, 3),
                    ymd[3], substr("JanFebMarAprMayJunJulAugSepOctNovDec", ymd[2] * 3 - 2, 3), ymd[1])
    open = 1
    next
}
!open { next }
/^$/ { next }
# Debian's changelog is plain text: the items become `*` lines and Markdown's backquotes go.
/^- / { sub(/^- /, ""); gsub(/`/, ""); print "  * " $0 > out; next }
/^  [^ ]/ { sub(/^ +/, ""); gsub(/`/, ""); print "    " $0 > out; next }
{ fail("inside a release, a line is an item `- ...` or its continuation, indented by two spaces") }

END {
    if (failed) exit 1
    if (epoch && !found) { print FILENAME ": no release heading" > "/dev/stderr"; exit 1 }
    if (!epoch) close_entry()
}
