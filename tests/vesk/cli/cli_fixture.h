// The model fixture with the daemon's whole command table installed and one command-shell
// context of privilege 15 in exec mode, for tests that type command lines and read the output.
#pragma once

#include <string>

#include "support/model_fixture.h"
#include "vesk/cli/cli.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

namespace vesk_test {

class CliFixture : public ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(vesk_cli_init(veskm), 1);
        cli_ = cli_new(veskm, PRIVILEGE_MAX);
        ASSERT_NE(cli_, nullptr);
    }

    void TearDown() override {
        cli_free(cli_);
        cli_ = nullptr;
        ModelFixture::TearDown();
    }

    // Runs one line in the context's current mode (with fallback also in the enclosing modes,
    // as the configuration file is read) and gives what it printed; the command's result is
    // kept in result_.
    std::string run(const std::string &line, bool fallback = false) {
        result_ = cli_execute(cli_, line.c_str(), fallback);
        return cli_output_take(cli_);
    }

    // Runs lines in order from exec mode through configure mode, as an operator would type
    // them after "configure terminal"; fails the test on the first line that does not succeed.
    void configure(std::initializer_list<const char *> lines) {
        run("configure terminal");
        ASSERT_EQ(result_, 0) << "configure terminal";
        for (const char *line : lines) {
            std::string out = run(line);
            ASSERT_EQ(result_, 0) << line << ": " << out;
        }
        run("end");
    }

    struct cli *cli_ = nullptr;
    int result_ = 0;
};

} // namespace vesk_test
