# Clicks and a tone through the program in real time on a private PipeWire
# server (tests/pipewire/): the delay as heard and the sound whole, at two
# rates, idle and beside busy loops, and across a stop. Real
# seconds and timing again (about five minutes), so the label "realtime" and
# a run of its own; the script skips (exit status 77) where the server's
# tools are not installed.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

add_test(NAME realtime_clicks_and_a_tone_come_out_whole_and_exactly_the_delay_later_through_pipewire
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pipewire/click_delay_test.py
    $<TARGET_FILE:quavelor>
    ${PROJECT_SOURCE_DIR}/scripts/pipewire-server.sh
    ${PROJECT_SOURCE_DIR}/.deps/pipewire-alsa
    ${CMAKE_CURRENT_BINARY_DIR}/realtime-clicks
    $<TARGET_FILE:quavelor_alsa_shim>)
set_tests_properties(realtime_clicks_and_a_tone_come_out_whole_and_exactly_the_delay_later_through_pipewire
  PROPERTIES LABELS realtime RUN_SERIAL TRUE SKIP_RETURN_CODE 77 TIMEOUT 900)
