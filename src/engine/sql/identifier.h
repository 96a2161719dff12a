// Splitting of column names given as text (col("t.a"), df["`a.b`"]) into name parts.
#pragma once

#include <string>
#include <vector>

namespace engine::sql {

// Splits on dots outside backquotes; inside backquotes a doubled backquote stands for one. Text that is not
// a well-formed multipart name (stray backquote, empty part) comes back whole as a single part, so odd
// column names such as "a b" or "x." still reach the resolver unchanged.
std::vector<std::string> parseMultipartIdentifier(const std::string& text);

}  // namespace engine::sql
