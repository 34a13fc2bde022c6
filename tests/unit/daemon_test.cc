// The daemon's request handling, as a table of request bytes to reply and
// to what unvault was asked.

#include <gtest/gtest.h>

#include <stdexcept>

#include "daemon/request_protocol.h"

namespace vesk {
namespace {

TEST(RequestProtocol, Table) {
  const struct {
    std::string request;
    std::optional<std::string> reply;
    std::string asked_blob = "-";  // "-": unvault not called
    int asked_tier = 0;
  } rows[] = {{"PING:", "PONG"},
              {std::string("PING:\0UNVAULT:x", 15), "PONG"},
              {"PING", std::nullopt},
              {"PING:anything", "PONG"},
              {":", "ERR"},
              {"ping:", "ERR"},
              {"UNVAULTX:v1:abc", "ERR"},
              {"UNVAULT:", "value", "", 1},
              {"UNVAULT:v2:abc\n", "value", "v2:abc\n", 2},
              {"UNVAULT:v3:a:b", "value", "v3:a:b", 3},
              {"UNVAULT:vx:abc", "value", "vx:abc", 2},
              {"UNVAULT:x2:abc", "value", "x2:abc", 1},
              {"UNVAULT:vault", "value", "vault", 1},
              {"UNVAULT:v2", "value", "v2", 1},
              {std::string("UNVAULT:v2:a\0b", 14), "value", "v2:a", 2},
              {"UNVAULT:" + std::string(5000, 'A'), "value", std::string(4095 - 8, 'A'), 1},
              {"UNVAULT:throw", "ERR:DECRYPT_FAIL", "throw", 1},
              {"UNVAULT:short", "ERR_BLOB_SHORT", "short", 1},
              {"UNVAULT:undecodable", "ERR_DECODE_FAIL", "undecodable", 1},
              {"UNVAULT:wrong", "ERR:DECRYPT_FAIL", "wrong", 1}};
  for (const auto& row : rows) {
    std::string asked_blob = "-";
    int asked_tier = 0;
    const auto reply = reply_to_request(
        row.request, [&](std::string_view blob, int tier) -> Expected<Secret, UnvaultError> {
          asked_blob = blob;
          asked_tier = tier;
          if (blob == "throw") throw std::runtime_error("unvault failed");
          for (const auto& [name, error] : {std::pair{"short", UnvaultError::kTooShort},
                                            {"undecodable", UnvaultError::kUndecodable},
                                            {"wrong", UnvaultError::kDoesNotDecrypt}}) {
            if (blob == name) return Unexpected<UnvaultError>{error};
          }
          return Secret("value");
        });
    EXPECT_EQ(reply ? std::optional(std::string(reply->view())) : std::nullopt, row.reply)
        << row.request;
    EXPECT_EQ(asked_blob, row.asked_blob) << row.request;
    EXPECT_EQ(asked_tier, row.asked_tier) << row.request;
  }
}

}  // namespace
}  // namespace vesk
