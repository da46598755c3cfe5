# The wire contract of TalvaroCommunicationDriver: one interface per client-visible component
# interface, each carrying its interface identifier. Identity, lifetime, activation, the value
# types and the platform interfaces (IClassFactory, IDispatch, connection points,
# ISupportErrorInfo) come from platform/remoting/com.capnp; read its header first.
#
# Classes a client activates (Activator.getClassObject, then IClassFactory.createInstance):
#   driver factory                 {1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}  (one per server)
#   application lifecycle object   {CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}  (one per server)
#   registration observer          {95F7797C-75B3-4E83-8556-E6B0C4E46BEE}  (a new, separate one;
#                                   the process-wide one comes from getRegObserver)
#   driver object                  {B94F6646-C3EF-4069-B692-C694A65C2D7F}  (never attached; use
#                                   createDriver)
#
# A typical session: activate the driver factory, createDriver(unit, application name, ...),
# queryInterface the driver for IConnectionPointContainer, findConnectionPoint with
# ICommunicationDriverEvents' identifier, advise a sink that answers ICommunicationDriverEvents
# and IDispatch, then write through IDataTransfer. Hardware results (E_ORBIQLIB_Result, 0 is
# success) come back in `result` fields; `hr` only says whether the call itself was well formed.
#
# A number out-parameter travels both ways: the request carries the caller's current value under
# the same name, the server starts the object's out-parameter from it and answers the value it
# ends with, so an out-parameter that the object leaves alone (a refused call) comes back as the
# caller had it.
@0xc1929ece88945943;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("Talvaro::Interfaces::wire");

using Com = import "/platform/remoting/com.capnp";
using Com.Unknown;
using Com.SafeArray;
using Com.Stream;

interface ITalvaroCommunicationDriverFactory extends(Unknown)
    $Com.iid("{F70C7624-74AB-40ED-8C01-14A83F5AE34E}") {
  createDriver @0 (logicalName :Text, applicationName :Text, openArgument :Text,
                   channelBaseName :Text, clientNamespaceName :Text)
               -> (hr :Int32, driver :ICommunicationDriver);
  # A new driver object for the unit. hr is the driver's initialisation result: 0 (attached),
  # -1100 (no hardware driver), -1200 (the unit could not be opened), -1050 (registration or
  # shared-memory set-up failed), or a creation failure. The driver is set even when its
  # initialisation failed; its hardware operations then answer E_UNEXPECTED (0x8000FFFF).
  # The channel base name and client namespace name matter only for the shared-memory connector.

  getRegObserver @1 () -> (hr :Int32, observer :IRegObserver);
  # The server's one registration observer, whose watchers see every data block and write.
}

interface IDebug extends(Unknown) $Com.iid("{2731E30C-4CBC-4D7C-826A-31AECFF177DD}") {
  # Reached by queryInterface on the driver factory. Arrays are one-dimensional string arrays
  # (elementType VT_BSTR = 8, lower bound 0, the strings in `texts`); names match exactly.

  getXRBNames @0 () -> (hr :Int32, names :SafeArray);
  getXRBSubItemNames @1 (logicalName :Text) -> (hr :Int32, names :SafeArray);
  # E_INVALIDARG (0x80070057) for a name no unit has.
  getXRBInfo @2 (logicalName :Text) -> (hr :Int32, lines :SafeArray);
  # Five lines: "Logical name: ", "BackplainID: " (hex), "IP: ", "MAC: ", "State: ".
}

interface ICommunicationDriver extends(Unknown) $Com.iid("{B843AFB5-F8AF-4E65-914E-0FB0A1D5152D}") {
  # Identifies a driver object; its work is done through the interfaces below, and its events
  # through IConnectionPointContainer (com.capnp).
}

interface IDataTransfer extends(Unknown) $Com.iid("{958BA1F7-6848-47F1-8707-E1D78672C446}") {
  write @0 (data :SafeArray, value :Int32, result :Int32) -> (hr :Int32, result :Int32);
  # Sends the bytes of a one-dimensional array (elementType VT_UI1 = 17, `bytes`) to the unit;
  # `value` reaches the hardware unchanged. hr: 0; 1 (S_FALSE) for an array of another shape;
  # E_POINTER for an unset array; E_UNEXPECTED for a driver without hardware. `result` is the
  # hardware's answer.
}

interface IAvailability extends(Unknown) $Com.iid("{51947443-D287-4752-B33F-5D1765BEEF55}") {
  getAvailability @0 (state :Int32) -> (hr :Int32, state :Int32);
  # state 0 or 1; hr 1 (S_FALSE) when the hardware answered anything else.
}

interface IRestriction extends(Unknown) $Com.iid("{2CBD1FAC-4547-4D17-9810-0049B6C2AA79}") {
  # Restriction modes 0, 1 and 2 pass to the hardware unchanged, any other as 3.

  registerRestriction @0 (mode :UInt32, callback :Stream, result :Int32) -> (hr :Int32, result :Int32);
  # `callback` is a stream into which the client marshaled its IRestrictionCallback
  # (CoMarshalInterface): in wire terms, a Stream whose bytes name one attachment carrying the
  # callback capability with IRestrictionCallback's identifier. On result 0 the server keeps the
  # callback and asks it about restricted data until unregisterRestriction.
  setRestrictionMode @1 (mode :UInt32, result :Int32) -> (hr :Int32, result :Int32);
  unregisterRestriction @2 (result :Int32) -> (hr :Int32, result :Int32);
  getRestrictionMode @3 (mode :UInt32, result :Int32) -> (hr :Int32, mode :UInt32, result :Int32);
  isRestrictionRegistered @4 (registered :Int16, result :Int32)
      -> (hr :Int32, registered :Int16, result :Int32);
  # registered: VARIANT_TRUE (-1) or VARIANT_FALSE (0).
}

interface IRestrictionCallback extends(Unknown) $Com.iid("{F06BD5D3-47B1-408A-BF24-C6C4DD1978EB}") {
  # Implemented by the client that judges the hardware's restriction questions.
  isRestricted @0 (data :SafeArray, verdict :Int32) -> (hr :Int32, verdict :Int32);
  # `data` is a one-dimensional byte array; verdict 0 means not restricted. The hardware gets
  # the verdict whatever hr says.
}

interface ICommunicationDriverEvents extends(Com.IDispatch)
    $Com.iid("{1AE26C38-E4F9-4530-998B-E7F8228B0198}") {
  # The driver's events, delivered as IDispatch.invoke on the subscribed sink with flags 1
  # (method), no result, and positional arguments:
  #   dispId 1 OnLiveliness    once a second, no arguments
  #   dispId 2 OnStateChanged  one VT_UI4 (19): availability 0 or 1
  #   dispId 3 OnData          one VT_ARRAY | VT_UI1 (0x2011): the data block
  #   dispId 4 OnError         one VT_UI4 (19): the hardware result code
  # A sink whose calls fail because its process is gone is dropped by the server.
}

interface IXRBGeneric extends(Unknown) $Com.iid("{7EB819DA-D4A8-466C-9C8A-DD0721D5E70D}") {
  sendGenericCommand @0 (command :Text) -> (hr :Int32);
  # Hands the text to the hardware proxy's own driver; hr 0, or E_FAIL (0x80004005) when the
  # hardware refused it.
}

interface IXRBApplicationLifecycle extends(Unknown)
    $Com.iid("{50BB0603-31D1-4284-8096-3B51B8CE8E27}") {
  create @0 (firstText :Text, secondText :Text) -> (hr :Int32);
  activate @1 (firstText :Text, secondText :Text) -> (hr :Int32);
  shutdown @2 (firstText :Text, secondText :Text) -> (hr :Int32);
  # Application commands 0, 1 and 2 with both texts; hr 0, or E_FAIL when the hardware refused.
}

interface IRegObserver extends(Unknown) $Com.iid("{D88CA1C5-CCC7-4396-BEE1-B93040DB5E12}") {
  register @0 (callback :IRegObserverCallback) -> (hr :Int32);
  unregister @1 (callback :IRegObserverCallback) -> (hr :Int32);
  # Both always answer 0. A callback is registered once; unregister with the same capability.
}

interface IRegObserverCallback extends(Com.IDispatch)
    $Com.iid("{CDBB95EB-3923-4369-99C8-8D8A0E5D4209}") {
  # Implemented by watchers; the server calls only onNotify.
  onNotify @0 (firstWord :UInt32, secondWord :UInt32, thirdWord :UInt32, byteCount :UInt32,
               value :UInt32) -> (hr :Int32);
  # The words are the big-endian values of bytes 0-3, 4-7 and 8-11 of the block (the third plus
  # every later byte); `value` is the driver's milliseconds since its creation.
}

struct ErrorDescription {
  # The error information a failed method left (its IErrorInfo), carried with the status.
  source @0 :Text;
  description @1 :Text;
  guid @2 :Com.Guid;
}

interface IContinuousCapture extends(Unknown) $Com.iid("{887E7A08-51AD-44EE-9CC1-BAD1F80305F2}") {
  # The capture service's continuous capture, class {75B2C210-9AD3-4DC8-97B4-E366F9A74644}.
  startCapture @0 (network :Text, filter :Text, fileSize :UInt32, dumpCount :Int32, destinationFolder :Text,
                   retentionDays :Int32) -> (hr :Int32, error :ErrorDescription);
  stopCapture @1 () -> (hr :Int32, error :ErrorDescription);
  # `error` is set when hr < 0 and the object left error information.
}

interface IOnDemandCapture extends(Unknown) $Com.iid("{B1BDCD7F-1FEC-4EC0-B6E8-74EB634E87FF}") {
  # The capture service's flush-on-demand capture, class {96B0E6BE-A24C-4F85-B460-F480949DFFEA}.
  startCapture @0 (network :Text, bufferSize :UInt32) -> (hr :Int32, error :ErrorDescription);
}
