# Real-time runs through a private, headless sound server (tests/pulse/).
# They take real seconds and depend on timing, so they run alone and carry
# the label "realtime" (ctest -L realtime runs only them, -LE realtime
# leaves them out). The script skips (exit status 77) where the server's
# tools are not installed.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

add_test(NAME realtime_runs_through_a_sound_server_end_promptly_and_mark_only_reported_underruns
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/pulse/realtime_test.py
    $<TARGET_FILE:quavelor>
    ${PROJECT_SOURCE_DIR}/scripts/pulse-server.sh
    ${CMAKE_CURRENT_LIST_DIR}/pulse/pulse_devices.conf
    ${CMAKE_CURRENT_BINARY_DIR}/realtime)
set_tests_properties(realtime_runs_through_a_sound_server_end_promptly_and_mark_only_reported_underruns
  PROPERTIES LABELS realtime RUN_SERIAL TRUE SKIP_RETURN_CODE 77 TIMEOUT 300)
