// The vault socket: the daemon's request handling, as a table of request
// bytes to reply and to what unvault was asked; its readiness; and the
// client side of an exchange.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <stdexcept>

#include "daemon/readiness.h"
#include "daemon/request_protocol.h"
#include "fake_machine.h"
#include "security/file_io.h"

namespace vesk {
namespace {

// The stand-in unvault answers "<tier>|<blob>", so each reply shows what
// it was asked; "short", "undecodable", "wrong" and "throw" fail.
TEST(RequestProtocol, Table) {
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"PING:", "PONG"},
      {std::string("PING:\0UNVAULT:x", 15), "PONG"},
      {"PING", std::nullopt},
      {"PING:anything", "PONG"},
      {":", "ERR"},
      {"ping:", "ERR"},
      {"UNVAULTX:v1:abc", "ERR"},
      {"UNVAULT:", "1|"},
      {"UNVAULT:v2:abc\n", "2|v2:abc\n"},
      {"UNVAULT:v3:a:b", "3|v3:a:b"},
      {"UNVAULT:vx:abc", "2|vx:abc"},
      {"UNVAULT:x2:abc", "1|x2:abc"},
      {"UNVAULT:vault", "1|vault"},
      {"UNVAULT:v2", "1|v2"},
      {std::string("UNVAULT:v2:a\0b", 14), "2|v2:a"},
      {"UNVAULT:" + std::string(5000, 'A'), "1|" + std::string(4095 - 8, 'A')},
      {"UNVAULT:throw", "ERR:DECRYPT_FAIL"},
      {"UNVAULT:short", "ERR_BLOB_SHORT"},
      {"UNVAULT:undecodable", "ERR_DECODE_FAIL"},
      {"UNVAULT:wrong", "ERR:DECRYPT_FAIL"}};
  const Unvaulter unvault = [](std::string_view blob, int tier) -> Expected<Secret, UnvaultError> {
    if (blob == "throw") throw std::runtime_error("unvault failed");
    if (blob == "short") return Unexpected{UnvaultError::kTooShort};
    if (blob == "undecodable") return Unexpected{UnvaultError::kUndecodable};
    if (blob == "wrong") return Unexpected{UnvaultError::kDoesNotDecrypt};
    return Secret(std::to_string(tier) + "|" + std::string(blob));
  };
  for (const auto& [request, expected] : rows) {
    const std::optional<Secret> reply = reply_to_request(request, unvault);
    EXPECT_EQ(reply ? std::optional(std::string(reply->view())) : std::nullopt, expected)
        << request;
  }
}

// READY=1 reaches a socket systemd may name: an abstract name as long as
// sun_path, or an absolute path; a relative one is no such socket.
TEST(Readiness, NotifiesTheServiceManagersSocket) {
  const TempFolder folder;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(folder.path);  // where "relative" would be
  std::string abstract = "@vesk-test-" + std::to_string(getpid());
  abstract.resize(sizeof(sockaddr_un::sun_path), 'n');
  for (const auto& [name, sent] : {std::pair<std::string, bool>{abstract, true},
                                   {folder.path / "absolute", true},
                                   {"relative", false}}) {
    const UniqueFd listener(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::memcpy(address.sun_path, name.data(), name.size());
    address.sun_path[0] = name[0] == '@' ? '\0' : name[0];
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0) << name;
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    EXPECT_EQ(notify_ready(), sent) << name;
    std::array<char, 16> received{};
    (void)recv(listener.get(), received.data(), received.size() - 1, MSG_DONTWAIT);
    EXPECT_EQ(std::string(received.data()), sent ? "READY=1" : "") << name;
  }
  unsetenv("NOTIFY_SOCKET");
  std::filesystem::current_path(before);
}

// A daemon that accepts (its backlog does) and never answers runs out the
// limit; no socket, a file that is no socket and a socket this user may not
// open are told apart from it.
TEST(DaemonClient, GivesUpAtItsLimitAndSaysWhy) {
  const TempFolder folder;
  const std::string listening = folder.path / "silent.sock";
  sockaddr_un address = *unix_socket_address(listening);
  const UniqueFd silent(socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(bind(silent.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent.get(), 5), 0);
  EXPECT_EQ(ask_daemon(listening, "PING:", std::chrono::milliseconds(100)).outcome,
            Exchange::kTimedOut);
  EXPECT_EQ(ask_daemon(folder.path / "none.sock", "PING:").outcome, Exchange::kNoSocket);
  folder.write("file", "");
  EXPECT_EQ(ask_daemon(folder.path / "file", "PING:").outcome, Exchange::kRefused);
  // Root may open any socket: the asking is done by a user who may not.
  ASSERT_EQ(chmod(listening.c_str(), 0), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(100);
    _exit(static_cast<int>(ask_daemon(listening, "PING:").outcome));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(Exchange::kDenied));
}

}  // namespace
}  // namespace vesk
