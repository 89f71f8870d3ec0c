// The live view's page, script, style and uPlot, compiled into the tool at
// build time (see cmake/EmbedFiles.cmake).
#pragma once

#include <cstddef>

namespace kestrav_tool {

struct Asset {
  const char *path;          // "/index.html"
  const char *content_type;  // "text/html; charset=utf-8"
  const unsigned char *data;
  size_t size;
};

extern const Asset kAssets[];
extern const size_t kAssetCount;

}  // namespace kestrav_tool
