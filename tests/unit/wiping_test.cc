// What holds a password is wiped before the heap gets it back: every block
// the program frees while the line rules run is searched for the password.

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "config/policy_rules.h"
#include "security/secure_memory.h"

namespace {

constexpr std::string_view kPassword = "Pw-7e1f0c";
bool watching = false;
int blocks_with_password = 0;

void release(void* block) noexcept {
  if (watching && block != nullptr &&
      memmem(block, malloc_usable_size(block), kPassword.data(), kPassword.size()) != nullptr) {
    ++blocks_with_password;
  }
  std::free(block);
}

}  // namespace

// The program's new and delete, through which strings and vectors get and
// give back their blocks.
void* operator new(std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t /*size*/) noexcept { release(block); }

namespace vesk {
namespace {

TEST(Wiping, TheLineRulesLeaveNoPasswordInFreedMemory) {
  // A short line lives inside its string object, a long one on the heap.
  const std::string password(kPassword);
  const std::string text = "pw = " + password + "\n[PASSES]\nadmin_pass = " + password +
                           "\nsql_pass = \"" + password + " and more than fifteen\"\n" +
                           std::string(100, '#') + "\nallow_remote_updates = true\n";
  const PolicyCrypto crypto{.vault = [](auto&) { return std::string(40, 'B'); },
                            .unwrap = [](auto&, int) { return std::nullopt; }};
  watching = true;
  (void)remote_updates_allowed(text);
  PolicyRewrite rewrite = apply_policy(text, {"PASSES", "admin_pass"}, 1, crypto);
  wipe(rewrite.text);
  watching = false;
  EXPECT_EQ(blocks_with_password, 0);
}

}  // namespace
}  // namespace vesk
