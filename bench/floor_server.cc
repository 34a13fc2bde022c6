// The floors vaultd is measured against: a server that makes exactly the
// calls one exchange of the vault protocol demands. Per connection: accept,
// the peer check, the two timeouts, one read of the request, for UNVAULT one
// read of the CPU identity file (the key is bound to the hardware, read
// afresh for every request), one send and a close.
//
//   floor_server SOCKET CPUINFO VALUE            the call floor: no crypto;
//                                                replies VALUE to UNVAULT
//   floor_server SOCKET CPUINFO VALUE BASE_KEY   the crypto floor: also the
//       least crypto the contract requires, and replies the blob's value:
//       the serial found in the cpuinfo text, one SHA-256 of base key and
//       serial, Base64url decoding, one AES-256-CBC decryption with the
//       cipher fetched once and one context reused. No check beyond that.
//
// Replies "PONG" to "PING:..."; a load generator checks every reply. Prints
// one line once it listens; runs until it is killed.

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr timeval kClientTimeout{.tv_sec = 5, .tv_usec = 0};

// The crypto floor's state: fetched once, reused for every request.
struct Decryptor {
  std::string_view base_key;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();

  // The value of `blob` ("v2:" + Base64url(IV || ciphertext)) under the key
  // of the device whose cpuinfo text is `cpuinfo`.
  std::string open(std::string_view blob, std::string_view cpuinfo) const {
    const std::size_t line = cpuinfo.find("\nSerial");
    const std::size_t start = cpuinfo.find(": ", line) + 2;
    const std::string_view serial = cpuinfo.substr(start, cpuinfo.find('\n', start) - start);
    std::string input(base_key);
    input.append(serial);
    std::array<unsigned char, 32> key{};
    EVP_Digest(input.data(), input.size(), key.data(), nullptr, EVP_sha256(), nullptr);
    std::string body(blob.substr(3));
    std::replace(body.begin(), body.end(), '-', '+');
    std::replace(body.begin(), body.end(), '_', '/');
    std::string payload(body.size(), '\0');
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(payload.data()),
                                        reinterpret_cast<const unsigned char*>(body.data()),
                                        static_cast<int>(body.size()));
    const auto padding = static_cast<int>(body.size() - body.find_last_not_of('=') - 1);
    const auto* const bytes = reinterpret_cast<const unsigned char*>(payload.data());
    std::string plain(static_cast<std::size_t>(decoded), '\0');
    auto* const out = reinterpret_cast<unsigned char*>(plain.data());
    int update = 0;
    int final = 0;
    EVP_DecryptInit_ex2(context, cipher, key.data(), bytes, nullptr);
    EVP_DecryptUpdate(context, out, &update, bytes + 16, decoded - padding - 16);
    EVP_DecryptFinal_ex(context, out + update, &final);
    plain.resize(static_cast<std::size_t>(update + final));
    return plain;
  }
};

void serve(int client, const char* cpuinfo_path, std::string_view value,
           const Decryptor* decryptor) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      (peer.uid != 0 && peer.uid != 1000)) {
    return;
  }
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &kClientTimeout, sizeof kClientTimeout);
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &kClientTimeout, sizeof kClientTimeout);
  std::array<char, 4096> request{};
  const ssize_t received = read(client, request.data(), request.size() - 1);
  if (received <= 0) return;

  const std::string_view text(request.data(), static_cast<std::size_t>(received));
  if (text.find(':') == std::string_view::npos) return;
  const bool ping = text.starts_with("PING:");
  const int file = ping ? -1 : open(cpuinfo_path, O_RDONLY | O_CLOEXEC);
  std::array<char, 4096> cpuinfo{};
  ssize_t cpuinfo_bytes = 0;
  if (file >= 0) {
    // Read as the daemon reads it; the call floor does not look at it.
    cpuinfo_bytes = read(file, cpuinfo.data(), cpuinfo.size());
    close(file);
  }
  std::string opened;
  if (!ping && decryptor != nullptr && cpuinfo_bytes > 0) {
    opened = decryptor->open(text.substr(text.find(':') + 1),
                             {cpuinfo.data(), static_cast<std::size_t>(cpuinfo_bytes)});
  }
  const std::string_view reply = ping ? "PONG" : (decryptor != nullptr ? opened : value);
  (void)send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: floor_server SOCKET CPUINFO VALUE [BASE_KEY]\n");
    return 2;
  }
  Decryptor crypto{argc == 5 ? argv[4] : ""};
  const Decryptor* const decryptor = argc == 5 ? &crypto : nullptr;
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  unlink(argv[1]);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 5) != 0) {
    std::perror("floor_server");
    return 1;
  }
  std::printf("floor listening on %s\n", argv[1]);
  std::fflush(stdout);
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    serve(client, argv[2], argv[3], decryptor);
    close(client);
  }
}
