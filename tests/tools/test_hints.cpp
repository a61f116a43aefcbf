// How the demo's printed hints name the program: a command a user can paste
// from the directory they ran it in.
#include <gtest/gtest.h>

#include "tools/commands/Commands.h"

namespace {

using megfwd::io::programForHints;

TEST(ProgramForHints, PathThatRunsFromTheCurrentDirectory) {
    // Found on the PATH: typed as a bare name.
    EXPECT_EQ(programForHints("megfwd", "/home/u/.local/bin/megfwd", "/home/u/data"), "megfwd");
    // Below the current directory: relative, as ./run.sh demo leaves it.
    EXPECT_EQ(programForHints("build/release/megfwd", "/src/megfwd/build/release/megfwd", "/src/megfwd"),
              "build/release/megfwd");
    EXPECT_EQ(programForHints("/src/megfwd/build/release/megfwd", "/src/megfwd/build/release/megfwd", "/src/megfwd/"),
              "build/release/megfwd");
    // In the current directory itself: a bare name would go to the PATH.
    EXPECT_EQ(programForHints("./megfwd", "/src/b/megfwd", "/src/b"), "./megfwd");
    // Elsewhere, or the directory unknown: absolute.
    EXPECT_EQ(programForHints("../b/megfwd", "/src/b/megfwd", "/src/a"), "/src/b/megfwd");
    EXPECT_EQ(programForHints("/src/b/megfwd", "/src/b/megfwd", ""), "/src/b/megfwd");
    // Quoted when the shell would split or expand it.
    EXPECT_EQ(programForHints("x/megfwd", "/home/my data/megfwd", "/tmp"), "'/home/my data/megfwd'");
    EXPECT_EQ(programForHints("x/megfwd", "/home/o'neil/megfwd", "/tmp"), "'/home/o'\\''neil/megfwd'");
}

}  // namespace
