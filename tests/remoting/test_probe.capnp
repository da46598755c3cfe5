# A test interface for the remoting tests: values, objects, callbacks, failures and lifetimes
# across the process boundary.
@0x93a4da497023ca34;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("Talvaro::RemotingTest::wire");

using Com = import "/platform/remoting/com.capnp";

interface ITestProbe extends(Com.Unknown) $Com.iid("{1AE4196A-38E4-4791-BA46-9B63722FFD4A}") {
  echo @0 (value :Com.Variant) -> (hr :Int32, echoed :Com.Variant);
  callBack @1 (sink :Com.Unknown, dispId :Int32, argument :Com.Variant) -> (hr :Int32, invokeResult :Int32);
  block @2 (milliseconds :UInt32) -> (hr :Int32);
  fault @3 () -> (hr :Int32);
  liveObjects @4 () -> (hr :Int32, count :UInt32);
  unmarshal @5 (stream :Com.Stream, iid :Com.Guid) -> (hr :Int32, object :Com.Unknown);
  processId @6 () -> (hr :Int32, pid :UInt32);
  blockedCalls @7 () -> (hr :Int32, count :UInt32);
  eventsReceived @8 () -> (hr :Int32, count :UInt32);
}
