#include "platform/Http.h"

#include <curl/curl.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

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
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &code);
    // An interim 1xx answer is followed by the real one.
    if (code >= 200) {
      t->headersDone = true;
      if (t->request.headersOnly) return 0;
    }
  }
  return n;
}

// The one session: a thread driving a curl multi handle. It lives for the whole process.
class Session {
 public:
  Session() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { loop(); });
  }
  ~Session() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    for (auto& [easy, t] : running_) {
      curl_multi_remove_handle(multi_, easy);
      curl_easy_cleanup(easy);
    }
    curl_multi_cleanup(multi_);
  }

  void add(std::unique_ptr<Transfer> t) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(std::move(t));
    }
    curl_multi_wakeup(multi_);
  }

 private:
  void loop() {
    for (;;) {
      std::deque<std::unique_ptr<Transfer>> fresh;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        fresh.swap(waiting_);
      }
      for (auto& t : fresh) begin(std::move(t));
      int active = 0;
      curl_multi_perform(multi_, &active);
      finishDone();
      // New requests and stopping wake the wait, and libcurl shortens it to its own next
      // deadline; an idle session sleeps.
      constexpr int idleMilliseconds = 600'000;
      curl_multi_poll(multi_, nullptr, 0, idleMilliseconds, nullptr);
    }
  }

  void begin(std::unique_ptr<Transfer> t) {
    CURL* easy = curl_easy_init();
    if (!easy) {
      Reply reply;
      reply.error = "The request could not be made.";
      t->done(std::move(reply));
      return;
    }
    t->easy = easy;
    curl_easy_setopt(easy, CURLOPT_URL, t->request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(t->request.timeout * 1000));
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // The desk is on this computer: never send its questions through a proxy.
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, t.get());
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
      curl_easy_cleanup(easy);
      Reply reply;
      reply.error = "The request could not be made.";
      t->done(std::move(reply));
      return;
    }
    running_.emplace(easy, std::move(t));
  }

  void finishDone() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      CURLcode code = message->data.result;
      auto found = running_.find(easy);
      if (found == running_.end()) continue;
      std::unique_ptr<Transfer> t = std::move(found->second);
      running_.erase(found);
      Reply reply = replyFor(*t, code);
      curl_multi_remove_handle(multi_, easy);
      curl_easy_cleanup(easy);
      t->done(std::move(reply));
    }
  }

  static Reply replyFor(Transfer& t, CURLcode code) {
    Reply reply;
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
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
    curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osError);
    reply.failure = (code == CURLE_COULDNT_CONNECT && osError == ECONNREFUSED) ? Failure::refused
                                                                               : Failure::other;
    reply.error = t.tooLong ? "The answer was too long." : curl_easy_strerror(code);
    return reply;
  }

  CURLM* multi_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::deque<std::unique_ptr<Transfer>> waiting_;
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> running_;
};

Session& session() {
  static Session shared;
  return shared;
}

}  // namespace

void get(Request request, std::function<void(Reply)> done) {
  auto t = std::make_unique<Transfer>();
  t->request = std::move(request);
  t->done = std::move(done);
  session().add(std::move(t));
}

}  // namespace Platform::Http
