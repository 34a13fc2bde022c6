#include "tests/support/openssl_cli.h"

#include "tests/support/shell.h"

namespace vesk::testing {

namespace {

// Octal escapes, the form every POSIX printf understands.
std::string printf_escaped(const std::string& hex) {
  std::string escaped;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const unsigned long byte = std::stoul(hex.substr(i, 2), nullptr, 16);
    escaped += "\\" + std::to_string(byte >> 6) + std::to_string((byte >> 3) & 7) +
               std::to_string(byte & 7);
  }
  return escaped;
}

}  // namespace

std::optional<std::string> decrypt_with_openssl_cli(const std::string& blob,
                                                    const std::string& key_hex,
                                                    const ScopedTempDir& scratch) {
  if (blob.size() < 3) return std::nullopt;
  write_file(scratch.file("blob-body"), blob.substr(3));
  const std::string dir = scratch.path().string();
  const ShellResult iv = run_shell("cd " + dir +
                                   " && tr -- '-_' '+/' < blob-body | base64 -d > blob-payload"
                                   " && head -c 16 blob-payload | od -An -tx1 | tr -d ' \\n'");
  if (iv.exit_status != 0 || iv.output.size() != 32) return std::nullopt;
  const ShellResult plain = run_shell("cd " + dir +
                                      " && tail -c +17 blob-payload | openssl enc -d -aes-256-cbc -K " +
                                      key_hex + " -iv " + iv.output + " 2>/dev/null");
  if (plain.exit_status != 0) return std::nullopt;
  return plain.output;
}

std::string encrypt_with_openssl_cli(int tier, const std::string& value, const std::string& key_hex,
                                     const std::string& iv_hex, const ScopedTempDir& scratch) {
  write_file(scratch.file("cli-value"), value);
  const ShellResult result =
      run_shell("cd " + scratch.path().string() + " && { printf '" + printf_escaped(iv_hex) +
                "'; openssl enc -aes-256-cbc -K " + key_hex + " -iv " + iv_hex +
                " -in cli-value; } | base64 -w0 | tr '+/' '-_'");
  return "v" + std::to_string(tier) + ":" + result.output;
}

}  // namespace vesk::testing
