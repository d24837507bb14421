# Tidies what scdoc writes so that mandoc -T lint has nothing to report:
# drops the paragraph macros that begin no paragraph (after a heading,
# before a heading or the end of an indented block, at the end), moving the
# one that closes an indented block to after it, and wraps text lines longer
# than 80 bytes at a blank (never in no-fill blocks, never in front of a
# character that would start a request). Run it with LC_ALL=C.
function is_heading(l) { return l ~ /^\.(SH|SS|TH|P)( |$)/ }
function ends_paragraph(l) { return l ~ /^\.(SH|SS|P|RE)( |$)/ }
function wrap(line,    cut, i) {
    while (length(line) > 80) {
        cut = 0
        for (i = 80; i > 1; i--) {
            if (substr(line, i, 1) == " " && substr(line, i - 1, 1) != "\\" &&
                substr(line, i + 1, 1) !~ /[.' ]/) {
                cut = i
                break
            }
        }
        if (!cut) break
        print substr(line, 1, cut - 1)
        line = substr(line, cut + 1)
    }
    print line
}
{
    if ($0 == ".P") {
        if (!is_heading(prev)) held = 1
        next
    }
    if (held && $0 == ".RE") {
        print
        prev = $0
        next
    }
    if (held && !ends_paragraph($0)) print ".P"
    held = 0
    if ($0 ~ /^\.nf/) nofill = 1
    if ($0 ~ /^\.fi/) nofill = 0
    if (nofill || $0 ~ /^[.']/) print
    else wrap($0)
    prev = $0
}
