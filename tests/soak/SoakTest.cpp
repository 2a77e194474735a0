// The relay under load for a long stretch, in-process with its window: many
// endpoints send requests as fast as loopback carries them while the bus
// simulator answers (leaving some answers out); the device vanishes and comes
// back, the operator's "set" reopens the port; the UDP server is restarted
// with its "set" while requests pour in. Afterwards every request the relay
// counted is found exactly once (on the bus or still queued), every datagram
// read is in exactly one outcome of the books /metrics shows, every
// completed reply went out once to the endpoint that asked, a fresh round
// trip still works and the memory grew no more than the queues explain.
// A second run meets a hostile network (reply addresses that cannot be sent
// to, random datagrams) and a churn of distinct endpoints through the capped
// device table, and a normal client is served all along.
//
// Size: TARVIX_SOAK_SCALE (see SoakSupport.h); the default is the short form.
#include <gtest/gtest.h>

#include <cstdlib>

#include "SoakSupport.h"

namespace tarvix {
namespace {

using namespace tarvix::soak;

TEST(Soak, CountsReconcileAfterLoadDeviceLossAndServerRestart) {
  TSoakRun run(ParseScale(std::getenv("TARVIX_SOAK_SCALE")));
  ASSERT_NO_FATAL_FAILURE(run.Start());
  ASSERT_NO_FATAL_FAILURE(run.SteadyLoad());
  ASSERT_NO_FATAL_FAILURE(run.DeviceVanishes());
  ASSERT_NO_FATAL_FAILURE(run.DeviceReturns());
  ASSERT_NO_FATAL_FAILURE(run.ServerRestart());
  ASSERT_NO_FATAL_FAILURE(run.NoForeignSender());
  ASSERT_NO_FATAL_FAILURE(run.FreshRoundTrip());
  run.MemoryMatchesQueues();
  ASSERT_NO_FATAL_FAILURE(run.Close());
  run.BooksBalance();
  ASSERT_NO_FATAL_FAILURE(run.RequestsReconcile());
  run.RepliesReconcile();
  run.Report();
}

TEST(Soak, ServesThroughBadAddressesRandomDatagramsAndEndpointChurn) {
  TChurnRun run(ParseScale(std::getenv("TARVIX_SOAK_SCALE")));
  ASSERT_NO_FATAL_FAILURE(run.Start());
  ASSERT_NO_FATAL_FAILURE(run.BadReplyAddresses());
  ASSERT_NO_FATAL_FAILURE(run.RandomDatagrams());
  ASSERT_NO_FATAL_FAILURE(run.EndpointChurn());
  ASSERT_NO_FATAL_FAILURE(run.FinalRoundTrip());
  run.BooksBalance();
  run.Report();
}

}  // namespace
}  // namespace tarvix
