// Files compiled into the image unit tests (image/CMakeLists.txt lists
// them), looked up by file name.
#pragma once

#include <cstdint>
#include <span>

// The bytes of the fixture `name` ("signed_1286.img", "production.pub.pem",
// "development.pub.pem"); empty when there is none of that name.
std::span<const std::uint8_t> image_fixture(const char* name);
