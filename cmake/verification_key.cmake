# Turns the 32-byte verification key file into a header the installer compiles in.
set(_key_header "${CMAKE_BINARY_DIR}/generated/verification_key.h")
if(EXISTS "${DEPLOYBOOT_PUBLIC_KEY}")
  file(READ "${DEPLOYBOOT_PUBLIC_KEY}" _key_hex HEX)
  string(LENGTH "${_key_hex}" _key_hex_len)
  if(NOT _key_hex_len EQUAL 64)
    message(FATAL_ERROR "${DEPLOYBOOT_PUBLIC_KEY}: a verification key is exactly 32 bytes")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _key_bytes "${_key_hex}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${DEPLOYBOOT_PUBLIC_KEY}")
else()
  message(WARNING "no verification key at ${DEPLOYBOOT_PUBLIC_KEY}: every package will fail verification")
  set(_key_bytes "")
  set(_key_hex_len 0)
endif()
file(CONFIGURE OUTPUT "${_key_header}" CONTENT
"// Generated from ${DEPLOYBOOT_PUBLIC_KEY}; do not edit.
#pragma once
#include <cstdint>
namespace deployboot {
inline constexpr bool kHaveVerificationKey = ${_key_hex_len} == 64;
inline constexpr uint8_t kVerificationKey[32] = {${_key_bytes}};
}  // namespace deployboot
")
