// What the result codes of the card methods mean, in front-desk words. One
// table for every tavocard command that prints a result.
#ifndef HOLVANTER_TOOLS_TAVOCARD_RESULT_TEXT_H_
#define HOLVANTER_TOOLS_TAVOCARD_RESULT_TEXT_H_

#include <string>

namespace tavocard {

// The meaning of a result code of WriteCard, VillaCard or ReadCard (a
// positive code is the encoder's write status). Unknown codes get a generic
// text naming the code.
std::string ResultMeaning(int code);

// The meaning of an OpenPort result: the 1-based port, or -99.
std::string OpenPortMeaning(int code);

}  // namespace tavocard

#endif  // HOLVANTER_TOOLS_TAVOCARD_RESULT_TEXT_H_
