#include "http_flood.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <memory>
#include <thread>

namespace tervane::testing {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

tcp::endpoint At(int port) { return tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)); }

// A client connection of the flood: connects, keeps a read open to learn when the endpoint
// closes it, and sends what its kind sends.
struct Client : std::enable_shared_from_this<Client> {
  Client(asio::io_context& io, int& closed) : socket(io), timer(io), closed(closed) {}

  void Connect(int port, std::function<void()> then) {
    socket.async_connect(At(port), [self = shared_from_this(), then](error_code ec) {
      if (ec) return;
      self->WaitForClose();
      if (then) then();
    });
  }
  void WaitForClose() {
    socket.async_read_some(asio::buffer(in), [self = shared_from_this()](error_code ec, std::size_t) {
      if (ec) {
        ++self->closed;
        self->done = true;
        self->timer.cancel();
        return;
      }
      self->WaitForClose();
    });
  }
  // One byte of the head a second.
  void Drip(std::shared_ptr<const std::string> head, std::size_t at = 0) {
    if (done || at >= head->size()) return;
    asio::async_write(socket, asio::buffer(head->data() + at, 1), [self = shared_from_this(), head, at](error_code ec, std::size_t) {
      if (ec) return;
      self->timer.expires_after(std::chrono::seconds(1));
      self->timer.async_wait([self, head, at](error_code e) {
        if (!e) self->Drip(head, at + 1);
      });
    });
  }
  // `block` again and again, up to `limit` bytes, as fast as the endpoint takes them.
  void Pour(std::shared_ptr<const std::string> block, long long limit, long long& sent) {
    if (done || sent >= limit) return;
    asio::async_write(socket, asio::buffer(*block),
                      [self = shared_from_this(), block, limit, &sent](error_code ec, std::size_t n) {
                        sent += static_cast<long long>(n);
                        if (!ec) self->Pour(block, limit, sent);
                      });
  }

  tcp::socket socket;
  asio::steady_timer timer;
  std::array<char, 4096> in{};
  int& closed;
  bool done = false;
};

std::string Repeat(const std::string& unit, std::size_t bytes) {
  std::string out;
  while (out.size() + unit.size() <= bytes) out += unit;
  return out;
}

}  // namespace

double FloodOutcome::WorstScrape() const {
  return scrapeSeconds.empty() ? 99 : *std::max_element(scrapeSeconds.begin(), scrapeSeconds.end());
}

std::string GetRequest(const std::string& path) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

std::optional<std::string> Fetch(int port, const std::string& request, std::chrono::milliseconds limit) {
  asio::io_context io;
  tcp::socket socket(io);
  std::string answer;
  std::array<char, 4096> buffer{};
  bool ended = false;
  std::function<void()> read = [&] {
    socket.async_read_some(asio::buffer(buffer), [&](error_code ec, std::size_t n) {
      answer.append(buffer.data(), n);
      if (ec) {
        ended = true;
        return;
      }
      read();
    });
  };
  socket.async_connect(At(port), [&](error_code ec) {
    if (ec) {
      ended = true;
      return;
    }
    asio::async_write(socket, asio::buffer(request), [&](error_code e, std::size_t) {
      if (e) ended = true;
      else read();
    });
  });
  io.run_for(limit);
  if (!ended || answer.empty()) return std::nullopt;
  return answer;
}

FloodOutcome RunFlood(int port, const FloodPlan& plan, const std::function<void()>& sample) {
  FloodOutcome out;
  asio::io_context io;
  int floodsClosed = 0;
  std::vector<std::shared_ptr<Client>> clients;
  auto add = [&](int& closed) {
    clients.push_back(std::make_shared<Client>(io, closed));
    return clients.back();
  };
  for (int i = 0; i < plan.idle; ++i) add(out.idleClosed)->Connect(port, nullptr);
  const auto slowHead = std::make_shared<const std::string>(GetRequest("/metrics"));
  for (int i = 0; i < plan.slow; ++i) {
    auto c = add(out.slowClosed);
    c->Connect(port, [c, slowHead] { c->Drip(slowHead); });
  }
  const auto headerBlock = std::make_shared<const std::string>(
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + Repeat("X-Flood: " + std::string(54, 'a') + "\r\n", 64 * 1024));
  auto header = add(floodsClosed);
  header->Connect(port, [header, headerBlock, &out] { header->Pour(headerBlock, 200LL << 20, out.headerFloodBytes); });
  const auto chunkBlock = std::make_shared<const std::string>(Repeat("400\r\n" + std::string(1024, 'x') + "\r\n", 64 * 1024));
  const auto chunkHead = std::make_shared<const std::string>(
      "POST /api/servers/1/pause HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" + *chunkBlock);
  auto chunked = add(floodsClosed);
  chunked->Connect(port, [chunked, chunkHead, &out] { chunked->Pour(chunkHead, 100LL << 20, out.chunkedFloodBytes); });

  std::thread floods([&] { io.run_for(plan.hold); });
  const auto end = std::chrono::steady_clock::now() + plan.hold - std::chrono::milliseconds(500);
  for (auto next = std::chrono::steady_clock::now(); next < end; next += std::chrono::milliseconds(200)) {
    std::this_thread::sleep_until(next);
    const auto begun = std::chrono::steady_clock::now();
    const auto answer = Fetch(port, GetRequest("/metrics"));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    out.scrapeSeconds.push_back(answer && answer->rfind("HTTP/1.1 200", 0) == 0 ? seconds : 99);
    if (sample) sample();
  }
  floods.join();
  return out;
}

int ConnectionsClosedAtOnce(int port, int count, std::chrono::milliseconds hold) {
  asio::io_context io;
  int closed = 0;
  std::vector<std::shared_ptr<Client>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_shared<Client>(io, closed));
    clients.back()->Connect(port, nullptr);
  }
  io.run_for(hold);
  return closed;
}

void ExpectTheFloodHarmless(int port, const std::function<long long()>& residentKiB,
                            const std::function<void()>& sample) {
  const long long before = residentKiB();
  ASSERT_GT(before, 0);
  long long most = before;
  const FloodPlan plan;
  const FloodOutcome flood = RunFlood(port, plan, [&] {
    most = std::max(most, residentKiB());
    if (sample) sample();
  });
  std::printf("flood: worst /metrics %.3f s of %zu, memory %lld -> %lld KiB, floods taken %lld + %lld bytes\n",
              flood.WorstScrape(), flood.scrapeSeconds.size(), before, most, flood.headerFloodBytes,
              flood.chunkedFloodBytes);
  EXPECT_LT(flood.WorstScrape(), 1.0) << flood.scrapeSeconds.size() << " scrapes";
  EXPECT_LT(most - before, 16 * 1024) << "KiB grown under the flood";
  EXPECT_LT(flood.headerFloodBytes, 16LL << 20);  // cut early, not read to 200 MB
  EXPECT_LT(flood.chunkedFloodBytes, 16LL << 20);
  EXPECT_EQ(flood.slowClosed, plan.slow);  // dropped at the head's deadline
  EXPECT_EQ(flood.idleClosed, plan.idle);
  EXPECT_GE(ConnectionsClosedAtOnce(port, 32 + 8, std::chrono::milliseconds(1500)), 8);
}

}  // namespace tervane::testing
