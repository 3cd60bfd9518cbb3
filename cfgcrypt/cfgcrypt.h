// SPDX-License-Identifier: Apache-2.0
#pragma once
// cfgcrypt: encrypts or decrypts one file with AES-128-CBC by handing one
// `openssl enc` command line to /bin/sh. It does no cryptography itself.
//
// The command that runs is
//   openssl enc -aes-128-cbc -<e|d> -in '<input>' -out '<temporary>' -pass pass:<phrase>
// where <temporary> is a fresh file in a private folder (mode 0700) beside the
// output, named through cfgcrypt's descriptor of that folder so that no other
// user can swap it; only when the command ends with status 0 is it renamed over
// the output, so a failed run never clobbers it.
// A character device or a FIFO at the output is handed to openssl as it is.
// SIGINT, SIGTERM and SIGHUP end the command and remove the temporary file; a
// cfgcrypt killed outright takes the command with it, and the next run beside
// the same output removes the private folder it left.
#include "vorna/storage/staged_output.h"

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

/// The pass phrase built into the program, placed in the command verbatim.
inline constexpr const char* k_cfgcrypt_pass_phrase = "key_for_savedstate";

/// Size of the command buffer; the finished command has at most 1151 characters.
inline constexpr std::size_t k_command_size = 1152;

using command_buffer = std::array<char, k_command_size>;

/// Prints "[ERROR][main:<line>]: " and the formatted text on standard output and
/// flushes it. The text carries its own "\r\n".
[[gnu::format(printf, 2, 3)]] void cfgcrypt_error(int line, const char* fmt, ...);

/// `text` as one single-quoted shell word that the shell takes literally: every
/// quote inside closes the quoting, is escaped, and reopens it ('it'\''s').
[[nodiscard]] std::string shell_quote(std::string_view text);

/// Formats the openssl command for `direction` ('e' or 'd') with both paths
/// quoted into `command` as NUL-terminated text. 0 when it fits; -1 when it
/// would not, and then `command` holds the empty text, never a cut-off command.
[[nodiscard]] int format_command(std::span<char, k_command_size> command, char direction, std::string_view in,
                                 std::string_view out, std::string_view pass);

/// Name of cfgcrypt's private folders beside the output.
inline constexpr const char* k_cfgcrypt_temp_name = ".cfgcrypt-XXXXXX";

/// Runs `command` as "sh -c COMMAND" through execve of /bin/sh with an empty
/// environment, in its own process group, and waits for it (retrying on EINTR).
/// The group is led by a child of this process that ends it when this process
/// dies, however it dies.
/// Returns 0 when the shell ended with 0, the shell's exit status when it ended
/// with another, and 1 when the shell could not be started, was killed by a
/// signal, or could not be waited for (those print their own message). SIGINT,
/// SIGTERM or SIGHUP during the wait ends the command's process group; the
/// result is then 128 + that signal's number, after a message.
[[nodiscard]] int run_command(const char* command);

/// The whole run: formats the command for `direction`, `in` and a temporary file
/// in a private folder beside `out`, runs it, and replaces `out` only when it ended with status 0.
/// Returns the exit status for the program: 0 on success; -1 when the command
/// would not fit its buffer (nothing is created or run); otherwise the
/// non-zero result of run_command, or 1 when the temporary file could not be
/// made or committed (the output is then as it was). Every failure but the
/// command's own prints a message; so does a folder that could not be synced
/// after the output was replaced, which still ends with 0.
/// Termination signals are held back from the temporary file's creation to its
/// removal or commit, so that none can leave it behind.
[[nodiscard]] int run_shell_command(char direction, const char* in, const char* out, const char* pass);
