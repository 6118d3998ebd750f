// Sockets against real peers: the test's own listeners on ephemeral ports of 127.0.0.1.

#include "libs/ccutility/net/buffered_tcp_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "libs/ccutility/net/socket_system.h"
#include "libs/ccutility/thread/cc_thread.h"
#include "tests/support/exception_text.h"

namespace {

using cc::BufferedTCPSocket;
using cc::Socket;
using gvtest::WhatOf;
using Ex = cc::SocketError::Exception;
using SocketPtr = CCSharedPtr<BufferedTCPSocket>;
namespace sys = cc::SocketSystem;

const char* const kLoopback = "127.0.0.1";
const char kTimedOut[] =
    "SocketError:Connection Timed-out - Destination host failed to respond (10060 - 127.0.0.1)";

struct Listener {
  SocketPtr socket{new BufferedTCPSocket};
  uint16_t port = 0;
  Listener() {
    socket->Listen(0, kLoopback);
    socket->GetLocalAddress(&port);
  }
};

struct Pair {
  Listener listener;
  SocketPtr client{new BufferedTCPSocket};
  SocketPtr server;
  Pair() {
    EXPECT_TRUE(client->Connect(kLoopback, listener.port, 5000));
    server = SocketPtr(new BufferedTCPSocket(listener.socket->Accept()));
  }
};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TEST(Socket, ListenAcceptRoundTrip) {
  Pair p;
  EXPECT_EQ(p.client->GetState(), Socket::kConnected);
  uint16_t peerPort = 0, localPort = 0;
  EXPECT_STREQ(p.client->GetPeerAddress(&peerPort).c_str(), kLoopback);
  EXPECT_EQ(peerPort, p.listener.port);
  EXPECT_STREQ(p.client->GetLocalAddress(&localPort).c_str(), kLoopback);
  uint16_t acceptedFrom = 0;
  EXPECT_STREQ(p.server->GetPeerAddress(&acceptedFrom).c_str(), kLoopback);
  EXPECT_EQ(acceptedFrom, localPort);

  p.client->Send("hello\r\n folded\r\n\r\n").Send(CCString("tail"));
  EXPECT_STREQ(p.server->ReadLine(true).c_str(), "hello folded");
  EXPECT_STREQ(p.server->ReadLine(true).c_str(), "");
  EXPECT_STREQ(p.server->ReceiveString(4, false).c_str(), "tail");
  p.server->Send("back\n");
  EXPECT_STREQ(p.client->ReadLine(false).c_str(), "back");
}

TEST(Socket, GatheredSendArrivesIntact) {
  Pair p;
  // Many pieces of many sizes, several MiB in all: partial sends and more pieces than one
  // system call takes.
  std::string all;
  std::vector<std::string> parts;
  for (int i = 0; i < 3000; ++i)
    parts.push_back(std::string(size_t(i % 7 == 0 ? 0 : (i * 37) % 2000), char('a' + i % 26)));
  parts.push_back(std::string(4 * 1024 * 1024, 'Z'));
  std::vector<cc::SendBuffer> pieces;
  for (const std::string& part : parts) {
    pieces.push_back({part.data(), uint32_t(part.size())});
    all += part;
  }
  std::string received;
  std::thread reader([&] {
    try {
      CCString bytes = p.server->ReceiveString(uint32_t(all.size()), false);
      received.assign(bytes.c_str(), bytes.Length());
    } catch (const Ex& e) {
      ADD_FAILURE() << e.what();
    }
  });
  try {
    p.client->SendBuffers(pieces);
  } catch (const Ex& e) {
    ADD_FAILURE() << e.what();
    p.client->Close();  // ends the reader
  }
  reader.join();
  EXPECT_EQ(p.client->GetBytesSent(), all.size());
  ASSERT_EQ(received.size(), all.size());
  EXPECT_TRUE(received == all);
}

TEST(Socket, RefusedConnectAndUnknownNameThrowTheirClassAndLeaveTheSocketClosed) {
  // A port that is bound but not listening answers connects with a reset.
  SocketPtr bound(new BufferedTCPSocket);
  bound->Bind(0, kLoopback);
  uint16_t port = 0;
  bound->GetLocalAddress(&port);
  for (uint32_t limit : {5000u, Socket::kNoTimeLimit}) {
    SCOPED_TRACE(limit);
    SocketPtr s(new BufferedTCPSocket);
    EXPECT_EQ(WhatOf<Ex::ConnectionRefused>([&] { s->Connect(kLoopback, port, limit); }),
              "SocketError:Connection Refused (10061 - 127.0.0.1)");
    EXPECT_EQ(s->GetState(), Socket::kClosed);
  }
  SocketPtr s(new BufferedTCPSocket);
  EXPECT_EQ(WhatOf<Ex::ConnectionClosedError>([&] { s->Connect("nohost.invalid", 80, 2000); }),
            "SocketError:Host Not Found (11001)");
  EXPECT_EQ(s->GetState(), Socket::kClosed);
}

namespace {

// A listener whose queue of unaccepted connections is full: the system drops further
// connection requests, so their connects stay in progress.
struct FullListener {
  SocketPtr socket{new BufferedTCPSocket};
  uint16_t port = 0;
  std::vector<sys::Handle> fills;

  FullListener() {
    socket->Bind(0, kLoopback);
    socket->GetLocalAddress(&port);
    EXPECT_EQ(sys::Listen(socket->GetHandle(), 0), 0);
    cc::SocketAddressIPv4 address;
    address.SetAddress(0x7F000001);
    address.SetPort(port);
    // Queue connects until one does not complete.
    for (int i = 0; i < 64; ++i) {
      sys::Handle h = sys::Create(Socket::kStreamType);
      fills.push_back(h);
      sys::SetNonBlocking(h, true);
      sys::Connect(h, address);
      bool ready = false, exception = false;
      if (sys::Wait(h, true, 300, &ready, &exception) == 0)
        return;
    }
    ADD_FAILURE() << "the listener's queue never filled";
  }
  ~FullListener() {
    for (sys::Handle h : fills)
      sys::Close(h);
  }
};

// Reports writable as soon as a short real wait is over, like a system that signals
// writability before the connect has finished.
class EagerSocket : public BufferedTCPSocket {
 public:
  bool WaitWritable(uint32_t timeoutMs) override {
    BufferedTCPSocket::WaitWritable(std::min(timeoutMs, 20u));
    return true;
  }
};

}  // namespace

TEST(Socket, ConnectGivesUpWhenStillInProgressAfterTheLimit) {
  FullListener full;
  CCSharedPtr<EagerSocket> s(new EagerSocket);
  int64_t start = NowMs();
  EXPECT_FALSE(s->Connect(kLoopback, full.port, 300));
  EXPECT_GE(NowMs() - start, 290);
  EXPECT_EQ(s->GetState(), Socket::kConnecting);
  EXPECT_TRUE(s->IsConnecting());
  // Nothing can be sent on a connect in progress.
  EXPECT_EQ(WhatOf([&] { s->Send("x"); }), "SocketError:Not Connected");
}

TEST(Socket, SilentConnectOutlastsItsLimitUntilAborted) {
  // A socket that never becomes writable is waited on again with the same time left: the
  // attempt ends with the system's own time-out (minutes away), or here, an abort.
  FullListener full;
  SocketPtr s(new BufferedTCPSocket);
  std::atomic<bool> finished{false};
  std::string what;
  std::thread connecting([&] {
    try {
      s->Connect(kLoopback, full.port, 200);
      what = "returned";
    } catch (const Ex& e) {
      what = e.what();
    }
    finished = true;
  });
  cc::SleepMs(1000);
  EXPECT_FALSE(finished.load());
  s->CloseHandleOnly();
  connecting.join();
  EXPECT_EQ(what.rfind("SocketError:", 0), 0u) << what;
  s->Close();
  EXPECT_EQ(s->GetState(), Socket::kClosed);
}

TEST(Socket, ReceiveTimesOutWhenThePeerStaysSilent) {
  Pair p;
  p.client->SetReceiveTimeout(250);
  char c;
  int64_t start = NowMs();
  EXPECT_EQ(WhatOf<Ex::Timeout>([&] { p.client->Receive(&c, 1); }), kTimedOut);
  EXPECT_GE(NowMs() - start, 240);
  // A receive time-out does not end the connection.
  EXPECT_EQ(p.client->GetState(), Socket::kConnected);
  p.server->Send("z");
  EXPECT_EQ(p.client->Receive(&c, 1), 1u);
  EXPECT_EQ(c, 'z');
}

TEST(Socket, CloseHandleOnlyWakesABlockedReceive) {
  // Blocked in the system receive (no time-out) and in the wait before it (with one).
  for (uint32_t timeout : {0u, 60000u}) {
    SCOPED_TRACE(timeout);
    Pair p;
    p.client->SetReceiveTimeout(timeout);
    std::atomic<bool> finished{false};
    std::string what;
    std::thread reader([&] {
      try {
        p.client->ReadLine(false);
        what = "returned";
      } catch (const Ex& e) {
        what = e.what();
      }
      finished = true;
    });
    cc::SleepMs(300);
    EXPECT_FALSE(finished.load());
    p.client->CloseHandleOnly();
    reader.join();
    EXPECT_EQ(what.rfind("SocketError:", 0), 0u) << what;
    // The number it had may already serve new sockets: the owner's Close must not touch it.
    Pair other;
    p.client->Close();
    SocketPtr third(new BufferedTCPSocket);
    EXPECT_TRUE(third->Connect(kLoopback, other.listener.port, 5000));
    EXPECT_NO_THROW(SocketPtr(new BufferedTCPSocket(other.listener.socket->Accept())));
    other.client->Send("still here\n");
    EXPECT_STREQ(other.server->ReadLine(false).c_str(), "still here");
    // The owner can use the object again.
    EXPECT_TRUE(p.client->Connect(kLoopback, p.listener.port, 5000));
  }
}

TEST(Socket, ReceiveAvailableWaitsThenTakesWhatArrived) {
  Pair p;
  std::thread sender([&] {
    cc::SleepMs(100);
    p.server->Send("first");
  });
  EXPECT_STREQ(p.client->ReceiveAvailable().c_str(), "first");
  sender.join();
  EXPECT_FALSE(p.client->WaitReadable(50));
  p.server->Close();
  EXPECT_TRUE(p.client->WaitReadable(5000));  // the end of the stream is readable
  EXPECT_STREQ(p.client->ReceiveAvailable().c_str(), "");
}

TEST(Socket, ShutdownAndCloseStates) {
  Pair p;
  p.client->ShutdownSend();
  EXPECT_EQ(p.client->GetState(), Socket::kSendClosed);
  EXPECT_EQ(WhatOf([&] { p.client->Send("late"); }), "SocketError:Not Connected");
  EXPECT_EQ(WhatOf([&] { p.client->WaitWritable(0); }), "SocketError:Logic Error");
  // The server sees our end of stream, and can still answer.
  EXPECT_EQ(WhatOf([&] { p.server->ReadLine(true); }), "SocketError:Peer Is Shutting Down");
  EXPECT_TRUE(p.server->IsReadClosed());
  EXPECT_EQ(WhatOf([&] { p.server->WaitReadable(0); }), "SocketError:Peer Is Shutting Down");
  p.server->Send("answer\n");
  EXPECT_STREQ(p.client->ReadLine(false).c_str(), "answer");
  // Half-closing after the peer's close closes the socket; the closing side drains what is
  // still on its way.
  p.server->Send(std::string(100000, 'd').c_str());
  p.server->ShutdownSend();
  EXPECT_EQ(p.server->GetState(), Socket::kClosed);
  p.client->CloseGracefully(5000);
  EXPECT_EQ(p.client->GetState(), Socket::kClosed);
  EXPECT_FALSE(p.client->IsValid());

  char c;
  EXPECT_EQ(WhatOf([&] { p.client->Receive(&c, 1); }), "SocketError:Not Connected");
  EXPECT_EQ(WhatOf([&] { p.client->GetLocalAddress(); }), "SocketError:Not Connected");
  EXPECT_EQ(WhatOf([&] { p.client->WaitReadable(0); }), "SocketError:Not Connected");
}

TEST(Socket, CloseGracefullyKeepsItsTimeLimitWithBytesStillBuffered) {
  Pair p;
  p.server->Send("line\nunread rest");
  EXPECT_STREQ(p.client->ReadLine(false).c_str(), "line");
  ASSERT_GT(p.client->BufferedBytes(), 0u);
  // The peer stays silent but open far longer than the drain may wait.
  std::atomic<bool> peerClosed{false}, drained{false};
  std::thread peer([&] {
    for (int i = 0; i < 300 && !drained; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peerClosed = true;
    p.server->Close();
  });
  p.client->CloseGracefully(100);
  drained = true;
  EXPECT_FALSE(peerClosed) << "the drain waited for the peer to close";
  EXPECT_EQ(p.client->GetState(), Socket::kClosed);
  peer.join();
}
