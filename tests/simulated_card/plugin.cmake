# The simulated sound card's plugin, for the real-time tests and the
# benchmarks alike: whichever of the two folders comes first defines it, once.
# It is left uninstrumented (the program is what the sanitizers watch) and
# lands beside the program in the build folder, where the benchmark script
# looks for it.
include_guard(GLOBAL)
add_library(simulated_card MODULE ${CMAKE_CURRENT_LIST_DIR}/simulated_card.c)
set_target_properties(simulated_card PROPERTIES
  PREFIX "libasound_module_pcm_"
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_libraries(simulated_card PRIVATE PkgConfig::ALSA m)
# alsa-lib names a loadable plugin's entry point only when built as PIC.
target_compile_definitions(simulated_card PRIVATE PIC)
target_compile_options(simulated_card PRIVATE -fno-sanitize=all)
target_link_options(simulated_card PRIVATE -fno-sanitize=all)
