// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_TEST_FAKE_ENGINE_H_
#define TOOLS_DART_PEER_TEST_FAKE_ENGINE_H_

#include <string>
#include <vector>

// A tiny engine that speaks the peer protocol from hand-written bytes. The
// test binary becomes it when started as `dart_peer_test --fake-engine
// ARGS...`, so that the peer is tested against a real process that connects
// through FLUTTER_LINUX_PEER, exits and replaces itself.
//
// It answers on these channels:
//   "standin/engine"  "drawFrame" -> null; "readTexture" {"id": 5} -> a 2x2
//                     picture (red, green / blue, half-transparent white);
//                     any other id -> error "no_texture"
//   "fake/echo"       success with the received message bytes as a Uint8List
//   "fake/error"      error "E1", "bad", details 7
//   "fake/drawn"      true when a "drawFrame" came before, else false
//   "fake/events"     "listen" -> null, then events 1, "hi", an error event
//                     "E2" and the end of the stream; "cancel" -> null
//   "fake/ask"        calls "ping" 5 on "fake/fromEngine" (reply wanted) and
//                     "note" "x" (no reply wanted), then answers true when
//                     "ping" got the null success 00 00
//   "fake/garbage"    null, then an unreadable frame; when the peer closes
//                     the connection, connects again with HELLO ["again"]
//   "fake/exec"       null, then replaces itself with args ["again"]
//   "fake/exit"       null, then exits with status 7
//   "fake/print"      null, then prints "fake engine says hi" on stderr
//   anything else     an empty reply (not implemented)
// It exits with 0 when the peer closes the connection, and with 10 or more
// when the peer breaks the protocol.
namespace fake_engine {

constexpr char kFlag[] = "--fake-engine";
constexpr int kExitStatus = 7;
constexpr long long kTextureId = 5;

// Runs the fake engine; returns the process's exit status.
int Run(const std::vector<std::string>& args);

// The absolute path of the running test binary.
std::string SelfPath();

}  // namespace fake_engine

#endif  // TOOLS_DART_PEER_TEST_FAKE_ENGINE_H_
