// Word splitting of veltctl batch lines, the way a POSIX shell splits words.
#ifndef VELT_CTL_WORDS_H
#define VELT_CTL_WORDS_H

#include <string>
#include <string_view>
#include <vector>

namespace velt::ctl {

// Splits one line into `words` (replacing its contents): blanks and tabs
// separate words; single quotes keep everything literally; double quotes keep
// everything but a backslash before '"', '\', '$', '`' or a line feed; a
// backslash outside quotes takes the next character literally. Nothing is
// expanded. A line whose first word begins with an unquoted '#' is a comment
// and gives no words. Returns null on success, else what is wrong.
const char* split_words(std::string_view line, std::vector<std::string>& words);

}  // namespace velt::ctl

#endif
