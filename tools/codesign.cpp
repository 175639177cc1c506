// quendrel-codesign: makes signing keys, signs application bundles and checks them.
//
//   quendrel-codesign keygen KEY                 a new secret key in KEY (mode 0600); prints the
//   team quendrel-codesign sign BUNDLE --key KEY      signs BUNDLE, replacing any signature it had
//   quendrel-codesign verify BUNDLE              exit 0 when BUNDLE is validly signed
//   quendrel-codesign verify BUNDLE --like OTHER  …and signed with OTHER's key and identifier
//
// Failures exit 1 with one line on standard error saying why.
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include "signing/CodeSign.h"

namespace {

constexpr const char* usage =
    "usage: quendrel-codesign keygen KEY\n"
    "       quendrel-codesign sign BUNDLE --key KEY\n"
    "       quendrel-codesign verify BUNDLE [--like OTHER]\n";

int fail(const std::string& why) {
  std::cerr << why << '\n';
  return 1;
}

int keygen(const std::string& file) {
  if (auto problem = CodeSign::makeKey(file)) return fail(*problem);
  auto key = CodeSign::readKey(file);
  if (!key) return fail(file + " could not be read back");
  std::cout << "team " << CodeSign::team(*CodeSign::publicKeyOf(*key)) << '\n';
  return 0;
}

int sign(const std::string& bundle, const std::string& file) {
  auto key = CodeSign::readKey(file);
  if (!key) return fail(file + " is not a signing key");
  if (auto problem = CodeSign::sign(bundle, *key)) return fail(bundle + ": " + *problem);
  std::cout << bundle << ": signed, team " << CodeSign::team(*CodeSign::publicKeyOf(*key)) << '\n';
  return 0;
}

int verify(const std::string& bundle, const std::string* like) {
  auto verdict = CodeSign::verify(bundle);
  if (auto* invalid = std::get_if<CodeSign::Invalid>(&verdict))
    return fail(bundle + ": " + invalid->why);
  const auto& found = std::get<CodeSign::Signer>(verdict);
  if (like) {
    auto wanted = CodeSign::signer(*like);
    if (auto* invalid = std::get_if<CodeSign::Invalid>(&wanted))
      return fail(*like + ": " + invalid->why);
    const auto& other = std::get<CodeSign::Signer>(wanted);
    if (found.publicKey != other.publicKey) {
      return fail(bundle + ": signed by team " + CodeSign::team(found.publicKey) + ", not team " +
                  CodeSign::team(other.publicKey));
    }
    if (found.identifier != other.identifier) {
      return fail(bundle + ": identifier " + found.identifier + ", not " + other.identifier);
    }
  }
  std::cout << bundle << ": valid, " << found.identifier << ", team "
            << CodeSign::team(found.publicKey) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "keygen") return keygen(args[1]);
  if (args.size() == 4 && args[0] == "sign" && args[2] == "--key") return sign(args[1], args[3]);
  if (args.size() == 2 && args[0] == "verify") return verify(args[1], nullptr);
  if (args.size() == 4 && args[0] == "verify" && args[2] == "--like")
    return verify(args[1], &args[3]);
  std::cerr << usage;
  return 2;
}
