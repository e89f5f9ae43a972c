# A stand-in for parts of alsa-lib, preloaded into quavelor by the stream tests
# to log the library calls in order and to inject the device faults that no
# stock ALSA configuration produces. It is left uninstrumented even in the
# sanitizer build: it only forwards calls, and the program under test is what
# the sanitizers watch.
add_library(quavelor_alsa_shim SHARED ${CMAKE_CURRENT_LIST_DIR}/alsa_shim/alsa_shim.c)
target_link_libraries(quavelor_alsa_shim PRIVATE PkgConfig::ALSA ${CMAKE_DL_LIBS})
target_compile_options(quavelor_alsa_shim PRIVATE -fno-sanitize=all)
target_link_options(quavelor_alsa_shim PRIVATE -fno-sanitize=all)
target_compile_definitions(quavelor_tests PRIVATE
  QUAVELOR_ALSA_SHIM="$<TARGET_FILE:quavelor_alsa_shim>")
add_dependencies(quavelor_tests quavelor_alsa_shim)
