# A simulated sound card (tests/simulated_card/): an alsa-lib external PCM
# plugin whose streams move one period at a time in real time, raise
# overruns and underruns as a card's driver does, and log how every played
# frame was heard. Like the shim it is left uninstrumented: the program is
# what the sanitizers watch. The real-time runs on it take about two minutes
# of real time, so they carry the label "realtime" and run alone.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_library(simulated_card MODULE ${CMAKE_CURRENT_LIST_DIR}/simulated_card/simulated_card.c)
set_target_properties(simulated_card PROPERTIES PREFIX "libasound_module_pcm_")
target_link_libraries(simulated_card PRIVATE PkgConfig::ALSA m)
# alsa-lib names a loadable plugin's entry point only when built as PIC.
target_compile_definitions(simulated_card PRIVATE PIC)
target_compile_options(simulated_card PRIVATE -fno-sanitize=all)
target_link_options(simulated_card PRIVATE -fno-sanitize=all)
add_dependencies(quavelor_tests simulated_card)

add_test(NAME realtime_on_a_simulated_card_every_frame_is_heard_once_and_exactly_the_delay_later
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/simulated_card/card_test.py
    $<TARGET_FILE:quavelor> $<TARGET_FILE:simulated_card> ${CMAKE_CURRENT_BINARY_DIR}/simulated-card)
set_tests_properties(realtime_on_a_simulated_card_every_frame_is_heard_once_and_exactly_the_delay_later
  PROPERTIES LABELS realtime RUN_SERIAL TRUE TIMEOUT 400)
