// Loads a private copy of the Kestrav library for one test.
//
// The library keeps process-wide stream state that starts empty only when the
// library is loaded. Each Library object copies the built library file to a
// unique name and loads that copy, so it gets its own, freshly zeroed state;
// the copy is unloaded and deleted again when the object goes away.
#pragma once

#include <cstdint>
#include <string>

#include "Kestrav.h"

namespace kestrav_test {

class Library {
 public:
  Library();
  ~Library();
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

  decltype(&::request_upload_port_data) request_upload_port_data;
  decltype(&::stop_upload_port_data) stop_upload_port_data;
  decltype(&::parse_port_data) parse_port_data;

 private:
  void *resolve(const char *name);
  void *handle_ = nullptr;
  std::string copy_path_;
};

// Path of the built library, next to the running test executable.
std::string built_library_path();

}  // namespace kestrav_test
