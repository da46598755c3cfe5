# The component model on the wire: object identity and lifetime, activation, and the platform
# interfaces (class factories, dispatch, connection points, error information) with the value
# types that carry VARIANTs, SAFEARRAYs and marshaled streams. The server's own interfaces
# (interfaces/talvaro.capnp) build on this file.
#
# How a client in any language uses it
# ------------------------------------
# - A server listens on a Unix stream socket in its runtime directory ($TALVARO_RUN_DIR, default
#   /run/talvaro). For each class it serves there is a file classes/{CLSID} holding the lines
#   "socket=<path>" and "pid=<pid>". Connect to the socket and speak two-party Cap'n Proto RPC;
#   the bootstrap capability is an `Activator`.
# - A capability is one object (one identity), not one interface of it. Every interface below
#   extends `Unknown`; to use another interface of an object, call `queryInterface` with that
#   interface's identifier (the `iid` annotation) and, on hr = 0, cast the capability you hold
#   to the interface type. Calling a method of an interface the object does not have fails with
#   an "unimplemented" exception.
# - Every method returns the component status code `hr` (an HRESULT: negative is failure) first;
#   out-parameters follow as further result fields. Results are meaningful as the object wrote
#   them: scalars read 0 where the object left them alone, capability and list fields are unset
#   where the object left a null pointer.
# - Interface pointers are capabilities; a null pointer is an unset (null) capability. Strings
#   are Text (UTF-8); an unset Text is a null string, which the server treats as empty.
# - Each capability you hold keeps one reference to the object; dropping it (or calling
#   `release`, or disconnecting) gives that reference back. Objects you pass to the server
#   (event sinks, callbacks) are called back over the same connection while the server holds
#   them; answer them promptly, and drop nothing you still want to be called on.
# - Failures of the transport surface to C++ callers as 0x800706BA (peer gone), 0x800706BE (the
#   call broke in flight), 0x800706BF (the call was refused before it ran). A raw Cap'n Proto
#   client sees the corresponding exceptions instead.
@0xca71e0e6eab05a10;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("platform::remoting::wire");

annotation iid(interface) :Text;
# The component interface identifier that the capnp interface carries, in registry form.

struct Guid {
  # A GUID as a 128-bit number written the way its registry form reads, left to right:
  # high = Data1 << 32 | Data2 << 16 | Data3, low = Data4[0] << 56 | ... | Data4[7].
  high @0 :UInt64;
  low @1 :UInt64;
}

interface Unknown $iid("{00000000-0000-0000-C000-000000000046}") {
  # The base of every remote object.

  queryInterface @0 (iid :Guid) -> (hr :Int32, object :Unknown);
  # Asks the object for another interface. On hr = 0 `object` is this same object (cast it to
  # the interface type); otherwise E_NOINTERFACE (0x80004002) or another failure, and `object`
  # is unset.

  release @1 ();
  # Gives back the reference this capability holds on this connection now rather than when the
  # capability is dropped. Later calls through it fail. For clients whose language cannot drop a
  # capability at a chosen moment; the C++ runtime simply drops the capability.

  identity @2 () -> (server :UInt64, object :UInt64);
  # Compares objects: two capabilities name the same object when both numbers are equal. `server`
  # is the serving process's id, `object` a number that the process keeps for the object while
  # any connection holds it.
}

interface Activator {
  # The bootstrap capability of a server's socket.

  getClassObject @0 (clsid :Guid, iid :Guid) -> (hr :Int32, classObject :Unknown);
  # The class object of a class the server currently publishes, asked for `iid` (usually
  # IClassFactory). REGDB_E_CLASSNOTREG (0x80040154) for a class it does not serve,
  # CO_E_SERVER_STOPPING (0x80080008) once it has withdrawn its classes.
}

interface IClassFactory extends(Unknown) $iid("{00000001-0000-0000-C000-000000000046}") {
  createInstance @0 (iid :Guid) -> (hr :Int32, object :Unknown);
  # A new object (or the singleton) asked for `iid`. There is no aggregation across processes.

  lockServer @1 (lock :Bool) -> (hr :Int32);
  # Keeps the server running between activations. Locks still held when the capability goes
  # (or the client dies) are given back.
}

interface ISupportErrorInfo extends(Unknown) $iid("{DF0B3D60-548F-101B-8E65-08002B2BD119}") {
  interfaceSupportsErrorInfo @0 (iid :Guid) -> (hr :Int32);
}

interface IDispatch extends(Unknown) $iid("{00020400-0000-0000-C000-000000000046}") {
  # Late-bound calls, and the way events reach subscribers: the server calls `invoke` on the
  # sink with the event's DISPID and its arguments. There is no type information on the wire.

  getTypeInfoCount @0 () -> (hr :Int32, count :UInt32);

  getIDsOfNames @1 (iid :Guid, names :List(Text), lcid :UInt32) -> (hr :Int32, dispIds :List(Int32));

  invoke @2 (dispId :Int32, iid :Guid, lcid :UInt32, flags :UInt16,
             arguments :List(Variant), named :List(NamedArgument), wantResult :Bool,
             byReference :List(UInt32))
         -> (hr :Int32, result :Variant, exception :ExceptionInfo, argumentError :UInt32,
             referenced :List(Variant));
  # `arguments` are the positional arguments in call order (first argument first); `flags` are
  # the DISPATCH_* bits (1 = method). `result` is set only when `wantResult` was; `exception`
  # only when hr is DISP_E_EXCEPTION (0x80020009). Arguments travel by value. `byReference`
  # lists the positions (in `arguments`) of those the caller passed by reference: the callee
  # gets them by reference, and `referenced` brings their values after the call back, in the
  # same order, for the caller's storage (numbers, reals and strings; other kinds stay as they
  # were at the caller).
}

struct NamedArgument {
  dispId @0 :Int32;
  value @1 :Variant;
}

struct ExceptionInfo {
  code @0 :UInt16;
  source @1 :Text;
  description @2 :Text;
  helpFile @3 :Text;
  helpContext @4 :UInt32;
  scode @5 :Int32;
}

interface IConnectionPointContainer extends(Unknown) $iid("{B196B284-BAB4-101A-B69C-00AA00341D07}") {
  enumConnectionPoints @0 () -> (hr :Int32, enumerator :IEnumConnectionPoints);
  findConnectionPoint @1 (iid :Guid) -> (hr :Int32, point :IConnectionPoint);
  # CONNECT_E_NOCONNECTION (0x80040200) for an event interface the object does not fire.
}

interface IConnectionPoint extends(Unknown) $iid("{B196B286-BAB4-101A-B69C-00AA00341D07}") {
  getConnectionInterface @0 () -> (hr :Int32, iid :Guid);
  getConnectionPointContainer @1 () -> (hr :Int32, container :IConnectionPointContainer);

  advise @2 (sink :Unknown) -> (hr :Int32, cookie :UInt32);
  # Subscribes `sink`: the server asks it (queryInterface) for the event interface and then
  # calls its IDispatch.invoke per event. The cookie names the subscription for `unadvise`.

  unadvise @3 (cookie :UInt32) -> (hr :Int32);
  enumConnections @4 () -> (hr :Int32, enumerator :IEnumConnections);
}

interface IEnumConnections extends(Unknown) $iid("{B196B287-BAB4-101A-B69C-00AA00341D07}") {
  next @0 (count :UInt32) -> (hr :Int32, connections :List(ConnectData));
  skip @1 (count :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enumerator :IEnumConnections);
}

struct ConnectData {
  sink @0 :Unknown;
  cookie @1 :UInt32;
}

interface IEnumConnectionPoints extends(Unknown) $iid("{B196B285-BAB4-101A-B69C-00AA00341D07}") {
  next @0 (count :UInt32) -> (hr :Int32, points :List(IConnectionPoint));
  skip @1 (count :UInt32) -> (hr :Int32);
  reset @2 () -> (hr :Int32);
  clone @3 () -> (hr :Int32, enumerator :IEnumConnectionPoints);
}

struct Variant {
  # A VARIANT by value. `type` is its VARTYPE (VT_UI4 = 19, VT_ARRAY | VT_UI1 = 0x2011, ...);
  # the union holds the value in the widest form of its kind.
  type @0 :UInt16;
  union {
    empty @1 :Void;        # VT_EMPTY, VT_NULL
    signed @2 :Int64;      # VT_I1, VT_I2, VT_I4, VT_I8, VT_INT, VT_ERROR, VT_BOOL (-1 true, 0 false)
    unsigned @3 :UInt64;   # VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_UINT
    real @4 :Float64;      # VT_R4, VT_R8, VT_DATE
    text @5 :Text;         # VT_BSTR (unset: a null string)
    object @6 :Unknown;    # VT_UNKNOWN, VT_DISPATCH (unset: a null pointer)
    array @7 :SafeArray;   # VT_ARRAY | element type (unset: a null array)
  }
}

struct SafeArray {
  # A SAFEARRAY by value: element type, shape, elements. Byte arrays travel in `bytes` (Data),
  # string arrays in `texts` (List(Text)).
  elementType @0 :UInt16;   # VT_UI1, VT_I4, VT_BSTR, VT_VARIANT, VT_UNKNOWN, ...
  bounds @1 :List(Bound);   # one per dimension, leftmost dimension first
  union {
    bytes @2 :Data;
    # Fixed-size elements (integers, reals, VT_BOOL, VT_ERROR, VT_DATE): their little-endian
    # bytes in storage order, the leftmost index varying fastest.
    texts @3 :List(Text);       # VT_BSTR, in storage order
    variants @4 :List(Variant); # VT_VARIANT, in storage order
    objects @5 :List(ObjectElement);  # VT_UNKNOWN, VT_DISPATCH, in storage order
  }
}

struct ObjectElement {
  object @0 :Unknown;  # unset: a null element
}

struct Bound {
  count @0 :UInt32;
  lowerBound @1 :Int32;
}

struct Stream {
  # A memory stream by value: its bytes, its seek position, and the interface pointers that
  # were marshaled into it (CoMarshalInterface), each named in the bytes by its attachment key.
  # The receiver rebuilds a memory stream from it and unmarshals from there.
  bytes @0 :Data;
  position @1 :UInt64;
  attachments @2 :List(Attachment);
}

struct Attachment {
  key @0 :UInt64;
  iid @1 :Guid;
  object @2 :Unknown;
  tableMarshaled @3 :Bool;   # may be unmarshaled more than once (MSHLFLAGS_TABLESTRONG/WEAK)
}
