#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include "BastorShared/platform/SystemError.h"
#include "NoctaBastorHelper/BastorEngine.h"
#include "tests/daemon/engine_support.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;

TEST(EngineState, StartCreatesOrRestoresAPrivateDirectoryAndWritesNothing) {
    TempDir temp;
    const fs::path fresh = temp.path() / "Nocta" / "Bastor";
    EXPECT_EQ(BastorEngine(fresh).currentState(), BastorState{});
    EXPECT_EQ(test::modeOf(fresh), 0700u);
    EXPECT_TRUE(fs::is_empty(fresh));

    ASSERT_EQ(::chmod(fresh.c_str(), 0755), 0);
    BastorEngine again(fresh);
    EXPECT_EQ(test::modeOf(fresh), 0700u);
}

TEST(EngineState, EachSwitchSavesTheWholeStateAtomically) {
    struct Case {
        std::function<BastorState(BastorEngine&)> change;
        const char* file;
    };
    const Case cases[] = {
        {[](BastorEngine& e) { return e.setEnabled(true); },
         R"({"audit_enabled":false,"auto_approval":false,"enabled":true})"},
        {[](BastorEngine& e) { return e.setAutoApproval(true); },
         R"({"audit_enabled":false,"auto_approval":true,"enabled":false})"},
        {[](BastorEngine& e) { return e.setAuditEnabled(true); },
         R"({"audit_enabled":true,"auto_approval":false,"enabled":false})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TempDir temp;
        // Unreadable as a state, and world-readable: both repaired by the save.
        test::writeFile(temp.path() / "state.json", R"({"enabled":1})");
        ASSERT_EQ(::chmod((temp.path() / "state.json").c_str(), 0644), 0);
        BastorEngine engine(temp.path());
        EXPECT_EQ(engine.currentState(), BastorState{});

        const BastorState returned = c.change(engine);
        EXPECT_EQ(readFile(temp.path() / "state.json"), c.file);
        EXPECT_EQ(test::modeOf(temp.path() / "state.json"), 0600u);
        EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1);
        EXPECT_EQ(BastorEngine(temp.path()).currentState(), returned);
    }
}

TEST(EngineState, FailedSaveThrowsAndKeepsTheNewValueInMemory) {
    TempDir temp;
    BastorEngine engine(temp.path() / "helper");
    fs::remove_all(temp.path() / "helper");
    try {
        engine.setAuditEnabled(true);
        FAIL() << "saved into a removed directory";
    } catch (const SystemError& error) {
        EXPECT_EQ(std::string(error.what()), "could not write '" +
                                                 (temp.path() / "helper/state.json").string() +
                                                 "': No such file or directory");
    }
    EXPECT_TRUE(engine.currentState().auditEnabled);
}

TEST(EngineState, MasterSwitchIsAuditedWhileAuditingIsOn) {
    TempDir temp;
    BastorEngine engine(temp.path());
    const fs::path log = temp.path() / "audit.jsonl";
    engine.setEnabled(true);
    engine.recordEvent(test::clientEvent());
    EXPECT_FALSE(fs::exists(log));

    engine.setAuditEnabled(true);
    engine.setEnabled(true);
    engine.setEnabled(true);  // the same value is recorded again
    engine.setEnabled(false);
    engine.setAuditEnabled(false);
    engine.setEnabled(true);

    const auto entries = test::entriesOf(log);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].event, BastorAuditEvent::bastorEnabled);
    EXPECT_EQ(entries[2].event, BastorAuditEvent::bastorDisabled);
    EXPECT_NE(entries[0].requestID, entries[1].requestID);
    const std::string line = test::linesOf(log)[0];
    for (const char* part :
         {R"("argv":[],)", R"("client":{"name":"Unknown client","version":""},"cwd":"\/",)",
          R"("reason":"",)", R"("resolved_path":"",)"})
        EXPECT_NE(line.find(part), std::string::npos) << part;
    EXPECT_EQ(line.find("approval_method"), std::string::npos);

    // An unwritable log fails the switch after the state is saved.
    engine.setAuditEnabled(true);
    fs::remove(log);
    fs::create_directory(log);
    EXPECT_THROW(engine.setEnabled(false), SystemError);
    EXPECT_FALSE(BastorState::load(temp.path() / "state.json").enabled);
}

}  // namespace
}  // namespace bastor
