// Components packed by imgtool and signed with the test keys
// (make_components.sh), compiled into the unit tests.
#pragma once

#include <cstdint>
#include <span>

// The bytes of the fixture `name` ("rootfs_production.img",
// "rootfs_development.img"); empty when there is none of that name.
std::span<const std::uint8_t> auth_fixture(const char* name);
