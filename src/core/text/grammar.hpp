// The pattern language (docs/language.md): a recursive-descent reading of its tokens into the
// pattern model. The one-line notation (parser.hpp) is a separate reader and stays as it is.
#pragma once

#include <string_view>

#include "model/model.hpp"

namespace vashlet {

// The pattern `text` says, or an error naming the column, followed by the text's line and a
// caret line under the culprit.
Result<Pattern> parse_language(std::string_view text);

}  // namespace vashlet
