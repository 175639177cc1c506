#include "placement/Desktop.h"

#include "placement/Applications.h"
#include "placement/Identity.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace Desktop {
namespace {

constexpr std::string_view identifier = "com.quendrel.manager";
// The key that marks an entry as ours; it names the bundle the entry opens.
constexpr std::string_view ownKey = "X-Quendrel-Bundle=";

// A value as a desktop entry's string holds it: backslashes and line breaks escaped.
std::string escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A path as the one argument of Exec: quoted, the characters quoting reserves escaped, and a
// percent sign doubled so it is no field code.
std::string execArgument(const fs::path& program) {
  std::string quoted = "\"";
  for (char c : program.string()) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return escaped(quoted + '"');
}

bool ours(const fs::path& file) {
  auto text = Platform::readFile(file);
  return text && text->find("\n" + std::string(ownKey)) != std::string::npos;
}

}  // namespace

fs::path entry() {
  return Platform::dataHome() / "applications" / (std::string(identifier) + ".desktop");
}

fs::path icon(int pixels) {
  const std::string size = std::to_string(pixels) + "x" + std::to_string(pixels);
  return Platform::dataHome() / "icons/hicolor" / size / "apps" /
         (std::string(identifier) + ".png");
}

std::string entryText(const fs::path& bundle, const fs::path& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Quendrel\n"
         "Comment=Sets up the desk and shows whether it runs\n"
         "Exec=" +
         execArgument(program) +
         "\n"
         "TryExec=" +
         escaped(program.string()) +
         "\n"
         "Icon=" +
         std::string(identifier) +
         "\n"
         "Terminal=false\n"
         "Categories=AudioVideo;Audio;\n" +
         std::string(ownKey) + escaped(bundle.string()) + "\n";
}

// The entry opens this program and every icon was drawn after the program was made: a copy
// replaced (by an update, say) has a newer program, and its knob is drawn again.
bool current(const fs::path& bundle, const fs::path& program) {
  if (Platform::readFile(entry()) != entryText(bundle, program)) return false;
  std::error_code error;
  const auto made = fs::last_write_time(program, error);
  if (error) return false;
  for (int pixels : iconSizes) {
    const auto drawn = fs::last_write_time(icon(pixels), error);
    if (error || drawn < made) return false;
  }
  return true;
}

bool introduce(const fs::path& bundle, const DrawIcon& draw) {
  const auto program = Settling::program(bundle);
  if (!program || !Settling::settled(bundle)) return false;
  std::error_code error;
  if (fs::exists(entry(), error) && !ours(entry())) return false;
  if (current(bundle, *program)) return true;
  for (int pixels : iconSizes) {
    fs::create_directories(icon(pixels).parent_path(), error);
    if (!draw(pixels, icon(pixels))) return false;
  }
  fs::create_directories(entry().parent_path(), error);
  return Platform::writeAtomically(entry(), entryText(bundle, *program), 0644);
}

void forget() {
  if (!ours(entry())) return;
  std::error_code error;
  for (int pixels : iconSizes) fs::remove(icon(pixels), error);
  fs::remove(entry(), error);
}

}  // namespace Desktop
