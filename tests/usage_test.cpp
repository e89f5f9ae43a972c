#include <gtest/gtest.h>

#include "support/run_program.h"

TEST(usage, no_arguments_print_the_usage_text_and_exit_1) {
  const program_result result = run_quavelor({});
  EXPECT_EQ(result.out,
            "\nQuavelor 1.0 by Ostrelwyn\n\n"
            "Add 1 or more arguments:\n\n"
            "<device> <mode> <inp chan> <outp chan> <delay in sec> <samplerate> <timeout>\n\n"
            "Mode 1: a mono input will be sent to one side of a stereo output (default)\n"
            "Mode 2: a stereo input will be sent to a stereo output\n"
            "Mode 3: a mono input will be sent to both sides of a stereo ouput\n\n"
            "In the case of stereo outputs and inputs, the track number given in the command line "
            "indicates the first of the two channels (usually left side)\n\n"
            "WARNING!  Since this program intentionally creates a delay, a destructive feedback "
            "loop can occur if the input can hear the output such as with a laptop or a "
            "microphone near monitor speakers.  The output should be sent to headphones.\n\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 1);
}
