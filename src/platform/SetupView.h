#pragma once
// The setup window and the terms sheet over it, as the setup flow drives them. The Qt
// implementation draws them; tests use scripted ones.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace Platform {

// A navigation that the terms sheet's page is about to make.
struct Navigation {
  std::string url;           // the whole address, percent-encoded
  bool clickedLink = false;  // the user followed a link
};

// A sheet over the setup window: the service's terms in a web view on a private, in-memory
// profile, an "I agree" button (disabled at first), a "Cancel" button that also answers to
// Escape, and a line that counts the ticked boxes. Dropping it closes the sheet and
// releases the web engine; no handler is called after that.
class TermsView {
 public:
  struct Handlers {
    // The page posted a message to the "terms" handler; its body as JSON text. Only the
    // document being loaded or shown now is heard.
    std::function<void(const std::string& body)> message;
    // Whether to let the page navigate; a refused navigation leaves the page as it is.
    std::function<bool(const Navigation&)> allow;
    // Loading the page failed, or it did not arrive in time.
    std::function<void()> failed;
    std::function<void()> agreed;
    std::function<void()> declined;
    // The sheet's program could not start, or stopped while the sheet was up; why, as a
    // phrase that goes after "The terms could not be shown: ". The sheet is gone.
    std::function<void(const std::string& why)> broken;
  };
  virtual ~TermsView() = default;

  // Loads an address, ignoring any cached copy; no answer within `timeout` seconds fails.
  virtual void load(const std::string& address, double timeout) = 0;
  // Loads a local file, with read access to the folder that holds it.
  virtual void loadFile(const std::filesystem::path& file) = 0;
  virtual void setAgreeEnabled(bool enabled) = 0;
  virtual void setCount(const std::string& text) = 0;
};

// The "Set up Quendrel" window: a heading, a line of text that explains, the code field, one
// button and a footnote. It is made hidden and kept when closed.
class SetupView {
 public:
  struct Handlers {
    // The user changed the code field's text (not called for `setCode`).
    std::function<void(const std::string& text)> edited;
    // The button was chosen, or Return pressed while it was enabled.
    std::function<void()> pressed;
  };
  virtual ~SetupView() = default;

  virtual void listen(Handlers handlers) = 0;
  // Brings the application to the front and the window with it, as key window.
  virtual void bringToFront() = 0;
  virtual void close() = 0;

  virtual std::string code() const = 0;
  virtual void setCode(const std::string& text) = 0;
  virtual void setCodeEnabled(bool enabled) = 0;
  virtual void setExplain(const std::string& text) = 0;
  virtual void setButton(const std::string& title, bool enabled) = 0;

  // Puts the terms sheet over the window. `wiring` runs in every document the sheet loads,
  // in its main frame, once the document is ready, where
  // `window.webkit.messageHandlers.terms.postMessage(body)` reaches `handlers.message`.
  virtual std::unique_ptr<TermsView> openSheet(const std::string& wiring,
                                               TermsView::Handlers handlers) = 0;
};

}  // namespace Platform
