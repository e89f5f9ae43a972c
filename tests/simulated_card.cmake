# A simulated sound card (tests/simulated_card/): an alsa-lib external PCM
# plugin whose streams move one period at a time in real time, raise
# overruns and underruns as a card's driver does, and log how every played
# frame was heard; simulated_card/plugin.cmake builds it. The real-time runs
# on it take about two minutes of real time, so they carry the label
# "realtime" and run alone.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
include(${CMAKE_CURRENT_LIST_DIR}/simulated_card/plugin.cmake)
add_dependencies(quavelor_tests simulated_card)

add_test(NAME realtime_on_a_simulated_card_every_frame_is_heard_once_and_exactly_the_delay_later
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/simulated_card/card_test.py
    $<TARGET_FILE:quavelor> $<TARGET_FILE:simulated_card> ${CMAKE_CURRENT_BINARY_DIR}/simulated-card)
set_tests_properties(realtime_on_a_simulated_card_every_frame_is_heard_once_and_exactly_the_delay_later
  PROPERTIES LABELS realtime RUN_SERIAL TRUE TIMEOUT 400)
