#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "BastorShared/records/BastorState.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;

class BastorStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "bastor-state-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path write(const std::string& content) {
        const fs::path path = dir_ / "state.json";
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    fs::path dir_;
};

TEST_F(BastorStateTest, LoadsTheSwitchesOrFallsBackToAllOff) {
    const BastorState off{false, false, false};
    const struct {
        std::string content;
        BastorState expected;
    } cases[] = {
        {"{}", off},
        {R"({"enabled":true})", {true, false, false}},
        {R"({"enabled":null,"audit_enabled":true})", {false, false, true}},
        {R"({"audit_enabled":true,"auto_approval":true,"enabled":true,"theme":"dark","n":[1]})",
         {true, true, true}},
        // One bad member rejects the whole file.
        {R"({"enabled":1,"audit_enabled":true})", off},
        {R"({"enabled":true,"auto_approval":"yes"})", off},
        {"not json", off},
        {"", off},
        {"[true]", off},
        {R"({"enabled":true)", off},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        EXPECT_EQ(BastorState::load(write(c.content)), c.expected);
    }
}

TEST_F(BastorStateTest, UnreadablePathsGiveAllOff) {
    EXPECT_EQ(BastorState::load(dir_ / "missing.json"), BastorState{});
    EXPECT_EQ(BastorState::load(dir_), BastorState{});  // a directory
}

}  // namespace
}  // namespace bastor
