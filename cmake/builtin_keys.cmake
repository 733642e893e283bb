# The built-in image-signing keys: two RSA-2048 public keys in PEM form,
# compiled into the launcher (auth/) and imgtool from the files named by
# BL_PRODUCTION_KEY and BL_DEVELOPMENT_KEY. The defaults are the repository's
# test keys in keys/test/, whose private halves are there for anyone to sign
# with; a release names the real public keys instead.
#
# Included from the top-level CMakeLists.txt, it leaves for every folder:
#   BL_PRODUCTION_KEY_TEXT, BL_DEVELOPMENT_KEY_TEXT  the two 451-byte PEM texts
#   BL_BUILTIN_TEST_KEYS                             1 when either is a test key
#
# As a script it prints what it makes of one key file, for the tests:
#   cmake -DKEY=FILE.pem -P cmake/builtin_keys.cmake
# prints "modulus-sha256 HASH" and "test-key 0|1", or fails with the message
# a configure run would give.
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

# A test key is known by its modulus, not by its text: a copy with other
# line ends, under another name or with another public exponent is the
# same key to whoever holds the private half (who can make the private
# exponent for any public one). Each value is the SHA-256 of the modulus
# written as lower-case hexadecimal digits without a leading zero, as
#   openssl rsa -pubin -in KEY.pem -noout -modulus | cut -d= -f2 |
#     tr A-F a-f | tr -d '\n' | sha256sum
# prints it. A plain variable: a -D of the same name cannot replace it.
set(BL_TEST_KEY_MODULI
  22da43b45491ca7b060c73af3c2d8b6f7f275c764aa7415ab6032f24d6a31d84  # keys/test/production.pub.pem
  99b447d130e4ba2ed7433d9fe77a0ccaa1e872fde2eb9c34422a6ed30b9c794e) # keys/test/development.pub.pem

# Reads a built-in key and checks the exact form the key store copies: 451
# bytes, BEGIN line, six base64 lines of 64 characters, one of 8, END line.
# file(READ) takes a CRLF line end as a line feed, so a checkout with CRLF
# line ends builds the same launcher.
function(bl_read_builtin_key path out_text)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "Built-in key \"${path}\" does not exist")
  endif()
  file(READ "${path}" text)
  string(LENGTH "${text}" length)
  set(body "[A-Za-z0-9+/]")
  set(line64 "${body}${body}${body}${body}${body}${body}${body}${body}")
  set(line64 "${line64}${line64}${line64}${line64}${line64}${line64}${line64}${line64}")
  set(form "^-----BEGIN PUBLIC KEY-----\n(${line64}\n)(${line64}\n)(${line64}\n)")
  set(form "${form}(${line64}\n)(${line64}\n)(${line64}\n)[A-Za-z0-9+/=]+\n-----END PUBLIC KEY-----\n$")
  if(NOT length EQUAL 451 OR NOT text MATCHES "${form}")
    message(FATAL_ERROR "Built-in key ${path} is not an RSA-2048 public key in the "
      "451-byte PEM form (make it with: openssl pkey -in PRIVATE.pem -pubout)")
  endif()
  set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

# The bytes of a PEM text's base64 body, as lower-case hexadecimal digits.
function(bl_base64_hex text out_hex)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(nibbles "0123456789abcdef")
  string(REGEX REPLACE "-----[^\n]*\n" "" body "${text}")
  string(REGEX REPLACE "[\n=]" "" body "${body}")
  string(LENGTH "${body}" length)
  set(hex "")
  set(bits 0)
  set(count 0)
  math(EXPR last "${length} - 1")
  foreach(at RANGE ${last})
    string(SUBSTRING "${body}" ${at} 1 char)
    string(FIND "${alphabet}" "${char}" value)
    math(EXPR bits "((${bits} << 6) | ${value}) & 0xFFFF")
    math(EXPR count "${count} + 6")
    if(count GREATER_EQUAL 8)
      math(EXPR count "${count} - 8")
      math(EXPR high "(${bits} >> (${count} + 4)) & 15")
      math(EXPR low "(${bits} >> ${count}) & 15")
      string(SUBSTRING "${nibbles}" ${high} 1 high)
      string(SUBSTRING "${nibbles}" ${low} 1 low)
      string(APPEND hex "${high}${low}")
    endif()
  endforeach()
  set(${out_hex} "${hex}" PARENT_SCOPE)
endfunction()

# One DER element of `hex` at byte `at`: its tag, where its contents start
# and how long they are (bytes). Short and long length forms up to 2 bytes,
# all a 2048-bit key needs; anything else fails the configure run.
function(bl_der_element hex at what out_tag out_start out_length)
  string(LENGTH "${hex}" size)
  math(EXPR size "${size} / 2")
  math(EXPR need "${at} + 2")
  if(need GREATER size)
    message(FATAL_ERROR "${what}: the key's DER ends early")
  endif()
  math(EXPR offset "${at} * 2")
  string(SUBSTRING "${hex}" ${offset} 2 tag)
  math(EXPR offset "${offset} + 2")
  string(SUBSTRING "${hex}" ${offset} 2 first)
  math(EXPR first "0x${first}")
  math(EXPR start "${at} + 2")
  if(first LESS 128)
    set(length ${first})
  elseif(first EQUAL 129 OR first EQUAL 130)
    math(EXPR digits "(${first} - 128) * 2")
    math(EXPR offset "${offset} + 2")
    string(SUBSTRING "${hex}" ${offset} ${digits} length)
    math(EXPR length "0x${length}")
    math(EXPR start "${start} + ${first} - 128")
  else()
    message(FATAL_ERROR "${what}: the key's DER has a length form no RSA-2048 key uses")
  endif()
  math(EXPR end "${start} + ${length}")
  if(end GREATER size)
    message(FATAL_ERROR "${what}: the key's DER ends early")
  endif()
  set(${out_tag} ${tag} PARENT_SCOPE)
  set(${out_start} ${start} PARENT_SCOPE)
  set(${out_length} ${length} PARENT_SCOPE)
endfunction()

# The SHA-256 of the modulus of an RSA public key in PEM text (as the test
# keys above are pinned), after checking that the text holds a
# SubjectPublicKeyInfo of rsaEncryption with a 2048-bit modulus.
#   SEQUENCE { SEQUENCE { OID 1.2.840.113549.1.1.1, NULL },
#              BIT STRING { 00, SEQUENCE { INTEGER n, INTEGER e } } }
function(bl_key_modulus_sha256 text what out_hash)
  bl_base64_hex("${text}" der)
  bl_der_element("${der}" 0 "${what}" tag start length)
  bl_der_element("${der}" ${start} "${what}" algorithm_tag algorithm_start algorithm_length)
  math(EXPR offset "${algorithm_start} * 2")
  math(EXPR digits "${algorithm_length} * 2")
  string(SUBSTRING "${der}" ${offset} ${digits} algorithm)
  math(EXPR next "${algorithm_start} + ${algorithm_length}")
  bl_der_element("${der}" ${next} "${what}" bits_tag bits_start bits_length)
  math(EXPR offset "${bits_start} * 2")
  string(SUBSTRING "${der}" ${offset} 2 unused)
  if(NOT tag STREQUAL "30" OR NOT algorithm_tag STREQUAL "30" OR NOT bits_tag STREQUAL "03" OR
     NOT algorithm STREQUAL "06092a864886f70d0101010500" OR NOT unused STREQUAL "00")
    message(FATAL_ERROR "${what} is not an RSA public key (SubjectPublicKeyInfo of rsaEncryption)")
  endif()
  math(EXPR inner "${bits_start} + 1")
  bl_der_element("${der}" ${inner} "${what}" key_tag key_start key_length)
  bl_der_element("${der}" ${key_start} "${what}" modulus_tag modulus_start modulus_length)
  math(EXPR offset "${modulus_start} * 2")
  math(EXPR digits "${modulus_length} * 2")
  string(SUBSTRING "${der}" ${offset} ${digits} modulus)
  string(REGEX REPLACE "^(00)+" "" modulus "${modulus}")
  string(LENGTH "${modulus}" digits)
  string(SUBSTRING "${modulus}" 0 1 top)
  if(NOT key_tag STREQUAL "30" OR NOT modulus_tag STREQUAL "02" OR NOT digits EQUAL 512 OR
     NOT top MATCHES "[89a-f]")
    message(FATAL_ERROR "${what} is not an RSA-2048 public key (its modulus is not 2048 bits)")
  endif()
  string(SHA256 hash "${modulus}")
  set(${out_hash} ${hash} PARENT_SCOPE)
endfunction()

# 1 when a modulus hash is one of the test keys'.
function(bl_is_test_modulus hash out)
  if(hash IN_LIST BL_TEST_KEY_MODULI)
    set(${out} 1 PARENT_SCOPE)
  else()
    set(${out} 0 PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  bl_read_builtin_key("${KEY}" text)
  bl_key_modulus_sha256("${text}" "${KEY}" hash)
  bl_is_test_modulus(${hash} test)
  message("modulus-sha256 ${hash}")
  message("test-key ${test}")
  return()
endif()

# ---- The configure run ----

# The test keys are the default when the tree has them; a tree without
# keys/test/ (a release engineer's export) names the real keys.
set(bl_default_production "")
set(bl_default_development "")
if(EXISTS ${CMAKE_SOURCE_DIR}/keys/test/production.pub.pem AND
   EXISTS ${CMAKE_SOURCE_DIR}/keys/test/development.pub.pem)
  set(bl_default_production ${CMAKE_SOURCE_DIR}/keys/test/production.pub.pem)
  set(bl_default_development ${CMAKE_SOURCE_DIR}/keys/test/development.pub.pem)
endif()
set(BL_PRODUCTION_KEY "${bl_default_production}" CACHE FILEPATH
  "PEM public key built in as the production image-signing key")
set(BL_DEVELOPMENT_KEY "${bl_default_development}" CACHE FILEPATH
  "PEM public key built in as the development image-signing key")
if(BL_PRODUCTION_KEY STREQUAL "" OR BL_DEVELOPMENT_KEY STREQUAL "")
  message(FATAL_ERROR "No built-in keys: this tree has no keys/test/. Name the public keys "
    "with -DBL_PRODUCTION_KEY=FILE.pem -DBL_DEVELOPMENT_KEY=FILE.pem.")
endif()

bl_read_builtin_key("${BL_PRODUCTION_KEY}" BL_PRODUCTION_KEY_TEXT)
bl_read_builtin_key("${BL_DEVELOPMENT_KEY}" BL_DEVELOPMENT_KEY_TEXT)
bl_key_modulus_sha256("${BL_PRODUCTION_KEY_TEXT}" "Built-in key ${BL_PRODUCTION_KEY}"
  bl_production_modulus)
bl_key_modulus_sha256("${BL_DEVELOPMENT_KEY_TEXT}" "Built-in key ${BL_DEVELOPMENT_KEY}"
  bl_development_modulus)

# One key in both places would make every development-signed image a
# production image.
if(bl_production_modulus STREQUAL bl_development_modulus)
  message(FATAL_ERROR "The production key ${BL_PRODUCTION_KEY} and the development key "
    "${BL_DEVELOPMENT_KEY} are the same key (the same modulus): a switch could not tell a "
    "development image from a production one. Name two different keys.")
endif()

bl_is_test_modulus(${bl_production_modulus} bl_production_is_test)
bl_is_test_modulus(${bl_development_modulus} bl_development_is_test)
set(BL_BUILTIN_TEST_KEYS 0)
if(bl_production_is_test OR bl_development_is_test)
  set(BL_BUILTIN_TEST_KEYS 1)
endif()

# A build to ship (the switch and release presets) stops here: a launcher
# with the test keys would take images anyone can sign. Testing such a
# build with the test keys is asked for by name, at every configure run.
if(BL_BUILTIN_TEST_KEYS AND BL_SHIP AND NOT BL_ALLOW_TEST_KEYS)
  message(FATAL_ERROR "TEST KEYS refused: this build is one to ship (BL_SHIP), and its "
    "built-in keys are the test signing keys of keys/test/, whose private halves anyone can "
    "read. Name the real public keys with -DBL_PRODUCTION_KEY=FILE.pem "
    "-DBL_DEVELOPMENT_KEY=FILE.pem, or give -DBL_ALLOW_TEST_KEYS=ON to test this build with "
    "the test keys.")
endif()
if(BL_BUILTIN_TEST_KEYS)
  message(WARNING "TEST KEYS: this launcher is built with the test signing keys of "
    "keys/test/, whose private halves anyone can read: it accepts images anyone can sign. "
    "NEVER SHIP THIS BUILD. A release names the real public keys with "
    "-DBL_PRODUCTION_KEY=FILE.pem -DBL_DEVELOPMENT_KEY=FILE.pem.")
endif()

# Configure again when a key file changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${BL_PRODUCTION_KEY} ${BL_DEVELOPMENT_KEY})
