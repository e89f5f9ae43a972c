# Clicks through the program in real time on a private PipeWire server
# (tests/pipewire/): the delay as heard, for each routing. Real seconds and
# timing again, so the label "realtime" and a run of its own; the script
# skips (exit status 77) where the server's tools are not installed.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

add_test(NAME realtime_clicks_come_out_delayed_by_the_delay_plus_a_constant_server_latency
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pipewire/click_delay_test.py
    $<TARGET_FILE:quavelor>
    ${PROJECT_SOURCE_DIR}/scripts/pipewire-server.sh
    ${PROJECT_SOURCE_DIR}/.deps/pipewire-alsa
    ${CMAKE_CURRENT_BINARY_DIR}/realtime-clicks)
set_tests_properties(realtime_clicks_come_out_delayed_by_the_delay_plus_a_constant_server_latency
  PROPERTIES LABELS realtime RUN_SERIAL TRUE SKIP_RETURN_CODE 77 TIMEOUT 180)
