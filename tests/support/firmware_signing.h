// Keys and signatures for signed firmware, made with the real minisign tool as an integrator would.
#pragma once

#include "core/board_root.h"
#include "device/firmware_signature.h"
#include "tests/support/board_fixture.h"

#include <string>

namespace board_test {

inline const char* const NO_MINISIGN = "minisign is not installed (scripts/setup installs it)";

inline bool have_minisign()
{
    return run_command("command -v minisign").status == 0;
}

// A key pair without a password under /host/keys of the root: NAME.pub and NAME.key.
inline bool make_signing_key(const std::string& name)
{
    std::string key = BoardRootTest::path("/host/keys/" + name);
    return run_command("mkdir -p " + shell_quote(BoardRootTest::path("/host/keys")) + " && minisign -G -W -f -p " +
                       shell_quote(key + ".pub") + " -s " + shell_quote(key + ".key"))
               .status == 0;
}

// Signs the board file `image` with the named key into IMAGE.minisig (`extra` adds options).
inline bool sign_image(const std::string& image, const std::string& name, const std::string& extra = "")
{
    return run_command("minisign -S " + extra + " -s " + shell_quote(BoardRootTest::path("/host/keys/" + name + ".key")) +
                       " -m " + shell_quote(BoardRootTest::path(image)) + " -x " +
                       shell_quote(BoardRootTest::path(image + FIRMWARE_SIGNATURE_SUFFIX)) + " </dev/null")
               .status == 0;
}

// Puts the named key in the board's read-only area, which turns the check on.
inline void install_board_key(const std::string& name)
{
    BoardRootTest::write_file(FIRMWARE_KEY_PATH, BoardRootTest::read_file("/host/keys/" + name + ".pub"));
}

} // namespace board_test
