#include "platform/Http.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/Descriptor.h"

namespace Platform::Http {
namespace {

struct Transfer {
  Request request;
  std::function<void(Reply)> done;
  std::string body;
  bool tooLong = false;
  bool headersDone = false;
  CURL* easy = nullptr;
};

Reply failed(std::string why, Failure failure = Failure::other) {
  Reply reply;
  reply.failure = failure;
  reply.error = std::move(why);
  return reply;
}

// Questions to a server on this computer, asked over a plain socket: the desk is asked every
// few seconds, and neither needs nor loads libcurl and the TLS libraries behind it.

using Clock = std::chrono::steady_clock;

// A head longer than this is no answer (libcurl's own bound is of the same size).
constexpr std::size_t longestHead = 100 * 1024;
constexpr std::size_t longestChunkLine = 1024;

struct Loopback {
  sockaddr_storage address = {};
  socklen_t length = 0;
  std::string host;  // as the Host header names it
  std::string path;
};

// An address of the form http://HOST[:PORT][/PATH] whose host is this computer by its number
// (127.x.y.z or [::1]) or as "localhost"; anything else is not asked.
std::optional<Loopback> loopbackAddress(const std::string& url) {
  constexpr std::string_view scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return std::nullopt;
  const std::string rest = url.substr(scheme.size());
  const std::size_t slash = rest.find('/');
  Loopback where;
  where.host = rest.substr(0, slash);
  where.path = slash == std::string::npos ? "/" : rest.substr(slash);
  std::string name = where.host;
  std::string port = "80";
  if (name.starts_with('[')) {
    const std::size_t close = name.find(']');
    if (close == std::string::npos) return std::nullopt;
    if (close + 1 < name.size()) {
      if (name[close + 1] != ':') return std::nullopt;
      port = name.substr(close + 2);
    }
    name = name.substr(1, close - 1);
  } else if (const std::size_t colon = name.find(':'); colon != std::string::npos) {
    port = name.substr(colon + 1);
    name = name.substr(0, colon);
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos) {
    return std::nullopt;
  }
  const int number = std::stoi(port);
  if (number < 1 || number > 65535) return std::nullopt;
  if (name == "localhost") name = "127.0.0.1";
  auto* v4 = reinterpret_cast<sockaddr_in*>(&where.address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&where.address);
  if (inet_pton(AF_INET, name.c_str(), &v4->sin_addr) == 1) {
    if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) return std::nullopt;
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(number));
    where.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
    if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return std::nullopt;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(number));
    where.length = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;
  }
  return where;
}

// Waits until the socket is ready for `events`; false when the deadline passes first.
bool ready(int socket, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd watched{socket, events, 0};
    const int n = poll(&watched, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string trimmed(const std::string& text) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// Reads one answer from the bytes as they arrive: the head (after any interim 1xx heads),
// then a body by its length, in chunks, or up to the end of the connection.
class Answer {
 public:
  explicit Answer(const Request& request) : request_(request) {}

  // more: the answer needs more bytes; again: a part was read, the next may follow at once.
  enum class Step { more, again, done, failed };

  // Takes the bytes that came; `ended` when the server closed the connection.
  Step take(std::string_view bytes, bool ended) {
    in_.append(bytes);
    Step step = Step::again;
    while (step == Step::again) step = advance(ended);
    if (step != Step::more || !ended) return step;
    return fail(phase_ == Phase::head ? "The answer ended before its head did."
                                      : "The answer ended early.");
  }

  Reply reply() const {
    if (!error_.empty()) return failed(error_);
    Reply reply;
    reply.failure = Failure::none;
    reply.status = status_;
    if (!request_.headersOnly) reply.body = body_;
    return reply;
  }

 private:
  enum class Phase { head, length, chunkSize, chunkData, chunkEnd, trailer, toTheEnd };

  Step fail(std::string why) {
    error_ = std::move(why);
    return Step::failed;
  }

  // One line, without its line break; nothing while the line is incomplete.
  std::optional<std::string> line() {
    const std::size_t end = in_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string text = in_.substr(0, end);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    in_.erase(0, end + 1);
    return text;
  }

  bool keep(std::string_view bytes) {
    if (body_.size() + bytes.size() > request_.maxBody) return false;
    body_.append(bytes);
    return true;
  }

  Step advance(bool ended) {
    switch (phase_) {
      case Phase::head:
        return readHead();
      case Phase::length: {
        const std::size_t n = std::min<std::size_t>(left_, in_.size());
        body_.append(in_, 0, n);
        in_.erase(0, n);
        left_ -= n;
        return left_ == 0 ? Step::done : Step::more;  // all that came is read
      }
      case Phase::toTheEnd:
        if (!keep(in_)) return fail("The answer was too long.");
        in_.clear();
        return ended ? Step::done : Step::more;
      case Phase::chunkSize: {
        auto text = line();
        if (!text)
          return in_.size() > longestChunkLine ? fail("A chunk was not HTTP.") : Step::more;
        const std::string digits = trimmed(text->substr(0, text->find(';')));
        if (digits.empty() || digits.size() > 15 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
          return fail("A chunk was not HTTP.");
        }
        left_ = std::stoull(digits, nullptr, 16);
        if (left_ == 0) {
          phase_ = Phase::trailer;
        } else if (body_.size() + left_ > request_.maxBody) {
          return fail("The answer was too long.");
        } else {
          phase_ = Phase::chunkData;
        }
        return Step::again;
      }
      case Phase::chunkData: {
        const std::size_t n = std::min<std::size_t>(left_, in_.size());
        body_.append(in_, 0, n);
        in_.erase(0, n);
        left_ -= n;
        if (left_ != 0) return Step::more;
        phase_ = Phase::chunkEnd;
        return Step::again;
      }
      case Phase::chunkEnd: {
        auto text = line();
        if (!text) return in_.size() > 2 ? fail("A chunk was not HTTP.") : Step::more;
        if (!text->empty()) return fail("A chunk was not HTTP.");
        phase_ = Phase::chunkSize;
        return Step::again;
      }
      case Phase::trailer: {
        auto text = line();
        if (!text) return in_.size() > longestHead ? fail("The trailer was too long.") : Step::more;
        return text->empty() ? Step::done : Step::again;
      }
    }
    return Step::failed;
  }

  Step readHead() {
    std::size_t end = in_.find("\n\r\n");
    std::size_t skip = 3;
    if (const std::size_t bare = in_.find("\n\n"); bare < end) {
      end = bare;
      skip = 2;
    }
    if (end == std::string::npos) {
      return headSeen_ + in_.size() > longestHead ? fail("The answer's head was too long.")
                                                  : Step::more;
    }
    headSeen_ += end + skip;
    if (headSeen_ > longestHead) return fail("The answer's head was too long.");
    const std::string head = in_.substr(0, end + 1);
    in_.erase(0, end + skip);

    // "HTTP/1.x SSS reason"
    constexpr std::string_view version = "HTTP/1.";
    if (head.size() < 13 || head.compare(0, version.size(), version) != 0 ||
        !std::isdigit(static_cast<unsigned char>(head[7])) || head[8] != ' ' ||
        head.find_first_not_of("0123456789", 9) != 12 ||
        (head[12] != ' ' && head[12] != '\r' && head[12] != '\n')) {
      return fail("The answer was not HTTP.");
    }
    status_ = std::stol(head.substr(9, 3));
    if (status_ < 100) return fail("The answer was not HTTP.");
    if (status_ < 200) return Step::again;  // an interim answer: the real one follows

    std::optional<std::string> length;
    bool chunked = false;
    std::size_t start = head.find('\n') + 1;
    while (start < head.size()) {
      const std::size_t stop = head.find('\n', start);
      std::string field = head.substr(start, stop - start);
      start = stop + 1;
      if (!field.empty() && field.back() == '\r') field.pop_back();
      const std::size_t colon = field.find(':');
      if (colon == std::string::npos) continue;
      const std::string name = lowered(trimmed(field.substr(0, colon)));
      const std::string value = trimmed(field.substr(colon + 1));
      if (name == "content-length") {
        if (length && *length != value) return fail("The answer's length was not one.");
        length = value;
      } else if (name == "transfer-encoding") {
        chunked = lowered(value).find("chunked") != std::string::npos;
      }
    }
    if (request_.headersOnly) return Step::done;
    if (status_ == 204 || status_ == 304) return Step::done;
    if (chunked) {
      phase_ = Phase::chunkSize;
    } else if (length) {
      if (length->empty() || length->size() > 19 ||
          length->find_first_not_of("0123456789") != std::string::npos) {
        return fail("The answer's length was not one.");
      }
      left_ = std::stoull(*length);
      if (left_ > request_.maxBody) return fail("The answer was too long.");
      if (left_ == 0) return Step::done;
      phase_ = Phase::length;
    } else {
      phase_ = Phase::toTheEnd;
    }
    return Step::again;
  }

  const Request& request_;
  std::string in_;
  Phase phase_ = Phase::head;
  std::size_t headSeen_ = 0;
  unsigned long long left_ = 0;
  long status_ = 0;
  std::string body_;
  std::string error_;
};

Reply askThisComputer(const Request& request) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(request.timeout, 0.0)));
  auto where = loopbackAddress(request.url);
  if (!where) return failed("The address is not one on this computer.");
  Descriptor socket(
      ::socket(where->address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.valid()) return failed(std::strerror(errno));

  auto connectFailed = [](int error) {
    return failed(std::string("Could not connect: ") + std::strerror(error),
                  error == ECONNREFUSED ? Failure::refused : Failure::other);
  };
  if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&where->address), where->length) !=
      0) {
    if (errno != EINPROGRESS) return connectFailed(errno);
    if (!ready(socket.get(), POLLOUT, deadline)) return failed("The connection timed out.");
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) return connectFailed(error);
  }

  const std::string question = "GET " + where->path + " HTTP/1.1\r\nHost: " + where->host +
                               "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
  for (std::size_t sent = 0; sent < question.size();) {
    if (!ready(socket.get(), POLLOUT, deadline)) return failed("The question timed out.");
    const ssize_t n =
        send(socket.get(), question.data() + sent, question.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return failed(std::strerror(errno));
    if (n > 0) sent += static_cast<std::size_t>(n);
  }

  Answer answer(request);
  char chunk[16 * 1024];
  for (;;) {
    if (!ready(socket.get(), POLLIN, deadline)) return failed("The answer timed out.");
    const ssize_t n = recv(socket.get(), chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0 && errno != ECONNRESET) return failed(std::strerror(errno));
    const auto step = answer.take(std::string_view(chunk, n > 0 ? n : 0), n <= 0);
    if (step != Answer::Step::more) return answer.reply();
  }
}

// Everything else goes through libcurl, loaded when the first such request comes and let go
// again once no transfer is left: the feed is asked once a launch, and a tray program that
// sits idle for days has no use for libcurl and the TLS and protocol libraries it brings.

struct Curl {
  void* library = nullptr;
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_global_cleanup) global_cleanup = nullptr;
  decltype(&curl_multi_init) multi_init = nullptr;
  decltype(&curl_multi_cleanup) multi_cleanup = nullptr;
  decltype(&curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&curl_multi_perform) multi_perform = nullptr;
  decltype(&curl_multi_poll) multi_poll = nullptr;
  decltype(&curl_multi_wakeup) multi_wakeup = nullptr;
  decltype(&curl_multi_info_read) multi_info_read = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
};

// Only the session thread uses it.
Curl curl;

template <typename Function>
bool find(const char* name, Function& into) {
  into = reinterpret_cast<Function>(dlsym(curl.library, name));
  return into != nullptr;
}

bool loadCurl() {
  curl.library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (!curl.library) return false;
  const bool found =
      find("curl_global_init", curl.global_init) &&
      find("curl_global_cleanup", curl.global_cleanup) &&
      find("curl_multi_init", curl.multi_init) && find("curl_multi_cleanup", curl.multi_cleanup) &&
      find("curl_multi_add_handle", curl.multi_add_handle) &&
      find("curl_multi_remove_handle", curl.multi_remove_handle) &&
      find("curl_multi_perform", curl.multi_perform) && find("curl_multi_poll", curl.multi_poll) &&
      find("curl_multi_wakeup", curl.multi_wakeup) &&
      find("curl_multi_info_read", curl.multi_info_read) &&
      find("curl_easy_init", curl.easy_init) && find("curl_easy_cleanup", curl.easy_cleanup) &&
      find("curl_easy_setopt", curl.easy_setopt) && find("curl_easy_getinfo", curl.easy_getinfo) &&
      find("curl_easy_strerror", curl.easy_strerror);
  if (found && curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) return true;
  dlclose(curl.library);
  curl = Curl{};
  return false;
}

void unloadCurl() {
  curl.global_cleanup();
  dlclose(curl.library);
  curl = Curl{};
  // What the transfers and libcurl freed goes back to the system, not only to the allocator.
  malloc_trim(0);
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->request.headersOnly) return 0;  // the headers are all we wanted
  if (t->body.size() + n > t->request.maxBody) {
    t->tooLong = true;
    return 0;
  }
  t->body.append(data, n);
  return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  bool blank = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
  if (blank) {
    long code = 0;
    curl.easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &code);
    // An interim 1xx answer is followed by the real one.
    if (code >= 200) {
      t->headersDone = true;
      if (t->request.headersOnly) return 0;
    }
  }
  return n;
}

// The one session: a thread, started with the first transfer, that loads libcurl and drives
// a multi handle while there are transfers, and sleeps without it in between.
class Session {
 public:
  ~Session() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      if (driving_) curl.multi_wakeup(multi_);
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void add(std::unique_ptr<Transfer> t) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(t));
    if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
    if (driving_) curl.multi_wakeup(multi_);
    wake_.notify_one();
  }

 private:
  void serve() {
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
      }
      if (!loadCurl()) {
        failWaiting();
        continue;
      }
      multi_ = curl.multi_init();
      if (!multi_) {
        unloadCurl();
        failWaiting();
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        driving_ = true;
      }
      drive();
      // Transfers still running here are those of a process that is ending.
      for (auto& [easy, t] : running_) {
        curl.multi_remove_handle(multi_, easy);
        curl.easy_cleanup(easy);
      }
      running_.clear();
      curl.multi_cleanup(multi_);
      multi_ = nullptr;
      unloadCurl();
    }
  }

  // Runs the transfers until none is left (or the process ends).
  void drive() {
    for (;;) {
      std::deque<std::unique_ptr<Transfer>> fresh;
      {
        std::lock_guard lock(mutex_);
        if (stopping_ || (waiting_.empty() && running_.empty())) {
          driving_ = false;
          return;
        }
        fresh.swap(waiting_);
      }
      for (auto& t : fresh) begin(std::move(t));
      int active = 0;
      curl.multi_perform(multi_, &active);
      finishDone();
      if (running_.empty()) continue;
      // New requests and stopping wake the wait, and libcurl shortens it to its own next
      // deadline.
      constexpr int longestWait = 600'000;
      curl.multi_poll(multi_, nullptr, 0, longestWait, nullptr);
    }
  }

  void failWaiting() {
    std::deque<std::unique_ptr<Transfer>> given;
    {
      std::lock_guard lock(mutex_);
      given.swap(waiting_);
    }
    for (auto& t : given) t->done(failed("libcurl could not be loaded."));
  }

  void begin(std::unique_ptr<Transfer> t) {
    CURL* easy = curl.easy_init();
    if (!easy) return t->done(failed("The request could not be made."));
    t->easy = easy;
    curl.easy_setopt(easy, CURLOPT_URL, t->request.url.c_str());
    curl.easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl.easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(t->request.timeout * 1000));
    curl.easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl.easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl.easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl.easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // A server on this computer is never asked through a proxy.
    curl.easy_setopt(easy, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1");
    curl.easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl.easy_setopt(easy, CURLOPT_WRITEDATA, t.get());
    curl.easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl.easy_setopt(easy, CURLOPT_HEADERDATA, t.get());
    curl.easy_setopt(easy, CURLOPT_PRIVATE, t.get());
    if (curl.multi_add_handle(multi_, easy) != CURLM_OK) {
      curl.easy_cleanup(easy);
      return t->done(failed("The request could not be made."));
    }
    running_.emplace(easy, std::move(t));
  }

  void finishDone() {
    int left = 0;
    while (CURLMsg* message = curl.multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      CURLcode code = message->data.result;
      auto found = running_.find(easy);
      if (found == running_.end()) continue;
      std::unique_ptr<Transfer> t = std::move(found->second);
      running_.erase(found);
      Reply reply = replyFor(*t, code);
      curl.multi_remove_handle(multi_, easy);
      curl.easy_cleanup(easy);
      t->done(std::move(reply));
    }
  }

  static Reply replyFor(Transfer& t, CURLcode code) {
    Reply reply;
    long status = 0;
    curl.easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    if (code == CURLE_OK && !t.tooLong) {
      reply.failure = Failure::none;
      reply.status = status;
      reply.body = std::move(t.body);
      return reply;
    }
    if (t.request.headersOnly && t.headersDone && code == CURLE_WRITE_ERROR) {
      reply.failure = Failure::none;
      reply.status = status;
      return reply;
    }
    long osError = 0;
    curl.easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osError);
    reply.failure = (code == CURLE_COULDNT_CONNECT && osError == ECONNREFUSED) ? Failure::refused
                                                                               : Failure::other;
    reply.error = t.tooLong ? "The answer was too long." : curl.easy_strerror(code);
    return reply;
  }

  // Touched by the session thread only.
  CURLM* multi_ = nullptr;
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> running_;

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool driving_ = false;  // multi_ is there to be woken
  std::deque<std::unique_ptr<Transfer>> waiting_;
};

Session& session() {
  static Session shared;
  return shared;
}

}  // namespace

void get(Request request, std::function<void(Reply)> done) {
  if (request.thisComputer) {
    std::thread([request = std::move(request), done = std::move(done)] {
      done(askThisComputer(request));
    }).detach();
    return;
  }
  auto t = std::make_unique<Transfer>();
  t->request = std::move(request);
  t->done = std::move(done);
  session().add(std::move(t));
}

}  // namespace Platform::Http
