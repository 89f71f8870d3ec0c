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
  decltype(&::parse_hid_game_controller_device)
      parse_hid_game_controller_device;
  decltype(&::convert_std_sbus_data) convert_std_sbus_data;
  decltype(&::encode_sbus_data_v1) encode_sbus_data_v1;
  decltype(&::encode_sbus_data_v2) encode_sbus_data_v2;

 private:
  void *lookup(const char *name);
  template <typename Function>
  void resolve(const char *name, Function &function) {
    function = reinterpret_cast<Function>(lookup(name));
  }
  void *handle_ = nullptr;
  std::string copy_path_;
};

// Path of the built library, next to the running test executable.
std::string built_library_path();

}  // namespace kestrav_test
