// The kvlzw tool as a user runs it: exit codes, output and error messages.
#include "test_support.h"


#include <cstdio>

namespace {

using kvtest::ToolRun;
using kvtest::run_tool;

TEST(Tool, VersionAndFormats) {
    ToolRun version = run_tool("version");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("LZW 19.2.0 (built Jul  3 2018)"), std::string::npos) << version.out;

    ToolRun formats = run_tool("formats --json");
    EXPECT_EQ(formats.status, 0);
    EXPECT_NE(formats.out.find("\"name\": \"GIF\", \"pattern\": \"*.gif\", \"format\": 14"), std::string::npos)
        << formats.out;
    EXPECT_NE(formats.out.find("{\"name\": \"VERSION\", \"type\": 5, \"size\": 4, \"default\": 89}"),
              std::string::npos);
    EXPECT_NE(formats.out.find("{\"name\": \"WIDTH\", \"type\": 12, \"size\": 8, \"default\": 0}"),
              std::string::npos);
}

TEST(Tool, ProbeNamesTheFilterOrFailsClearly) {
    ToolRun gif = run_tool(std::string("probe ") + KVLZW_SOURCE_DIR + "/samples/animation.gif");
    EXPECT_EQ(gif.status, 0);
    EXPECT_EQ(gif.out, "GIF\n");

    ToolRun png = run_tool("probe " + kvtest::corpus_path("gif/wuffs/not-gif/pjw-thumbnail.png"));
    EXPECT_EQ(png.status, 1);
    EXPECT_NE(png.out.find("no registered filter recognises this file"), std::string::npos) << png.out;
    ToolRun missing = run_tool("probe /nonexistent/file.gif");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("cannot open /nonexistent/file.gif"), std::string::npos);
}

TEST(Tool, UsageErrorsExitWithTwo) {
    EXPECT_EQ(run_tool("").status, 2);
    EXPECT_EQ(run_tool("frobnicate").status, 2);
    EXPECT_EQ(run_tool("probe").status, 2);
    EXPECT_EQ(run_tool("version --bogus").status, 2);
    EXPECT_EQ(run_tool("version --module").status, 2);
    ToolRun help = run_tool("probe --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: kvlzw probe FILE"), std::string::npos);
    EXPECT_EQ(run_tool("--help").status, 0);
}

TEST(Tool, MissingModuleIsAFailure) {
    ToolRun run = run_tool("version --module /nonexistent/libkvLZW19d.so");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("cannot load the component"), std::string::npos) << run.out;
}

}  // namespace
