// The page's files (src/line/page/), compiled into the program at build
// time (embed_page.cmake): the page needs nothing from outside it.
#pragma once

#include <string_view>

namespace orvik::line {

struct PageFile {
  std::string_view path;  // "/index.html", "/line.js", ...
  std::string_view type;  // its Content-Type
  std::string_view body;
};

// The file served at `path`, or null.
const PageFile* FindPageFile(std::string_view path);

}  // namespace orvik::line
