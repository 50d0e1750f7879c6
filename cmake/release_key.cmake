# zq_trust_release_key(TARGET KEY): compiles into TARGET the release public key
# it trusts: base64 of the 32 key bytes (as `zq_publish keygen` writes it) or 64
# hexadecimal digits. An empty KEY builds a program that installs unsigned
# releases as before.
function(zq_trust_release_key target key)
  string(STRIP "${key}" key)
  string(LENGTH "${key}" key_length)
  if(NOT key STREQUAL "")
    set(key_is_base64 FALSE)
    set(key_is_hex FALSE)
    if(key_length EQUAL 44 AND key MATCHES "^[A-Za-z0-9+/]+=$")
      set(key_is_base64 TRUE)
    endif()
    if(key_length EQUAL 64 AND key MATCHES "^[0-9A-Fa-f]+$")
      set(key_is_hex TRUE)
    endif()
    if(NOT key_is_base64 AND NOT key_is_hex)
      message(FATAL_ERROR "The release public key for ${target} is neither base64 of 32 bytes (44 characters) "
                          "nor 64 hexadecimal digits: '${key}'")
    endif()
  endif()
  set(ZQ_RELEASE_KEY_TEXT "${key}")
  set(generated ${CMAKE_BINARY_DIR}/generated/release_key_${target}.cpp)
  configure_file(${PROJECT_SOURCE_DIR}/update/release_key.cpp.in ${generated} @ONLY)
  target_sources(${target} PRIVATE ${generated})
endfunction()
