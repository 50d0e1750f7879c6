# zq_trust_release_key(TARGET KEYS): compiles into TARGET the release public
# keys it trusts, separated by commas (a primary and an offline backup): each
# base64 of the 32 key bytes (as `zq_publish keygen` writes it) or 64
# hexadecimal digits. An empty KEYS builds a program that installs unsigned
# releases as before.
function(zq_trust_release_key target key)
  string(STRIP "${key}" key)
  set(normalised "")
  if(NOT key STREQUAL "")
    string(REPLACE "," ";" pieces "${key}")
    # Empty pieces ("A,,B", a trailing comma) are kept and refused below.
    foreach(piece IN LISTS pieces)
      string(STRIP "${piece}" piece)
      string(LENGTH "${piece}" key_length)
      set(key_is_base64 FALSE)
      set(key_is_hex FALSE)
      if(key_length EQUAL 44 AND piece MATCHES "^[A-Za-z0-9+/]+=$")
        set(key_is_base64 TRUE)
      endif()
      if(key_length EQUAL 64 AND piece MATCHES "^[0-9A-Fa-f]+$")
        set(key_is_hex TRUE)
      endif()
      if(NOT key_is_base64 AND NOT key_is_hex)
        message(FATAL_ERROR "A release public key for ${target} is neither base64 of 32 bytes (44 characters) "
                            "nor 64 hexadecimal digits: '${piece}'")
      endif()
      if(normalised STREQUAL "")
        set(normalised "${piece}")
      else()
        set(normalised "${normalised},${piece}")
      endif()
    endforeach()
  endif()
  set(ZQ_RELEASE_KEY_TEXT "${normalised}")
  set(generated ${CMAKE_BINARY_DIR}/generated/release_key_${target}.cpp)
  configure_file(${PROJECT_SOURCE_DIR}/update/proof/release_key.cpp.in ${generated} @ONLY)
  target_sources(${target} PRIVATE ${generated})
endfunction()
