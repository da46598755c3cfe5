// The hardware proxy library's interfaces: unit discovery, the hardware driver of one XRB unit,
// and the callbacks that the server implements.
//
// Plain abstract classes, operations in the library's table order; slots the server never
// calls are left out. Every object handed out by the library stays owned by the library: the
// caller borrows it and gives it back through the factory's Release* operation named on the
// operation that handed it out. Objects that are not given back before CXRBProxy::Shutdown stay
// valid but inert (their operations fail with ORBIQLIB_E_NOT_INITIALIZED) until the process ends.
//
// Threads: every operation may be called on any thread, concurrently. Callbacks into the
// server's observers come only on the library's own threads, never on the calling thread, one at
// a time and in order per hardware driver. See docs/simulator.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "external/hardware/orbiq_result.h"

// The description of one XRB unit, as the scanner lists it. A plain value.
class CXRBDescription {
 public:
  CXRBDescription() = default;
  CXRBDescription(std::wstring logicalName, std::wstring mac, std::wstring ip, std::wstring state,
                  std::uint32_t boardId)
      : logicalName_(std::move(logicalName)),
        mac_(std::move(mac)),
        ip_(std::move(ip)),
        state_(std::move(state)),
        boardId_(boardId) {}

  std::wstring GetLogicalName() const { return logicalName_; }
  std::wstring GetMAC() const { return mac_; }
  std::wstring GetIP() const { return ip_; }
  std::wstring GetState() const { return state_; }
  std::uint32_t GetBoardID() const { return boardId_; }

 private:
  std::wstring logicalName_;
  std::wstring mac_;
  std::wstring ip_;
  std::wstring state_;
  std::uint32_t boardId_ = 0;
};

// ---- Callbacks implemented by the server, called on the library's threads ----

class IDataTransferObserver {
 public:
  virtual ~IDataTransferObserver() = default;
  // One data block of the unit; `data` is valid for the duration of the call only. The return
  // value is ignored.
  virtual E_ORBIQLIB_Result OnData(const unsigned char* data, const unsigned int& count) = 0;
  // An error reported by the unit. The return value is ignored.
  virtual E_ORBIQLIB_Result OnError(const E_ORBIQLIB_Result& code) = 0;
};

class IRestrictionObserver {
 public:
  virtual ~IRestrictionObserver() = default;
  // Asks whether `data` is restricted; the result is the verdict, 0 = not restricted. `data` is
  // valid for the duration of the call only.
  virtual E_ORBIQLIB_Result OnRestriction(const unsigned char* data, const unsigned int& count) = 0;
};

class IAvailabilityCallback {
 public:
  virtual ~IAvailabilityCallback() = default;
  // The unit's availability changed (or was set again): 1 available, 0 not.
  virtual void OnAvailabilityChanged(std::int32_t state) = 0;
};

// ---- Unit discovery ----

class IUnitSubItem {
 public:
  virtual std::wstring GetName() const = 0;

 protected:
  ~IUnitSubItem() = default;
};

class IUnitItem {
 public:
  virtual CXRBDescription GetDescription() const = 0;
  virtual unsigned int GetSubItemCount() const = 0;
  // Owned by the item (and so by its list); null for an index past the end.
  virtual const IUnitSubItem* GetSubItem(unsigned int index) const = 0;

 protected:
  ~IUnitItem() = default;
};

// A snapshot of the units at the time of the scan; later changes do not show in it.
class IUnitList {
 public:
  virtual unsigned int GetCount() const = 0;
  // Owned by the list; null for an index past the end.
  virtual const IUnitItem* GetItem(unsigned int index) const = 0;

 protected:
  ~IUnitList() = default;
};

class IUnitScanner {
 public:
  // Lists the units. On success (0) `list` is a new list owned by the scanner, to be given back
  // with ReleaseList; on failure `list` is set to null.
  virtual E_ORBIQLIB_Result Scan(IUnitList*& list) = 0;
  // Gives a list back; ORBIQLIB_E_INVALID_ARGUMENT for a list this scanner did not hand out.
  virtual E_ORBIQLIB_Result ReleaseList(IUnitList* list) = 0;

 protected:
  ~IUnitScanner() = default;
};

// ---- The hardware driver of one unit ----

// Restriction observers. Modes: 0 = registered but not asked; 1, 2, 3 = asked about every
// restriction question of the unit (the simulator keeps the level and reports it back; a real
// unit grades its questions by it). At most one restriction observer per driver.
class ICommRestriction {
 public:
  virtual ~ICommRestriction() = default;
  virtual E_ORBIQLIB_Result Register(const unsigned int& mode, IRestrictionObserver* observer) = 0;
  // Changes the mode of the registered observer `observer`.
  virtual E_ORBIQLIB_Result SetMode(const unsigned int& mode, IRestrictionObserver* observer) = 0;
  // Returns once no question to `observer` runs any more (see IDataTransfer::UnregisterObserver).
  virtual E_ORBIQLIB_Result Unregister(IRestrictionObserver* observer) = 0;
  // The registered observer's mode; `mode` is untouched on failure (nothing registered).
  virtual E_ORBIQLIB_Result GetMode(unsigned int& mode) = 0;
  // Whether `observer` is the registered restriction observer; 0 whenever the answer is known.
  virtual E_ORBIQLIB_Result IsRegistered(IRestrictionObserver* observer, bool& registered) = 0;
};

class ICommDataTransfer {
 public:
  // Every registered observer receives every data block and error of the unit. Only while the
  // driver is open; Close drops all registrations.
  virtual E_ORBIQLIB_Result RegisterObserver(IDataTransferObserver* observer) = 0;
  // Returns once no callback to `observer` runs any more, and none starts afterwards. Called
  // from inside a callback of this driver, it does not wait (the running callback is the caller).
  virtual E_ORBIQLIB_Result UnregisterObserver(IDataTransferObserver* observer) = 0;
  // Writes `count` bytes to the unit. When `observer` is not null it is asked first, on a
  // library thread, with the same bytes; a non-zero verdict refuses the write with
  // ORBIQLIB_E_RESTRICTED. The 32-bit `value` is the write's channel tag: recorded with the
  // write, not interpreted. `data` may be null when `count` is 0.
  virtual E_ORBIQLIB_Result Write(const unsigned char* data, const unsigned int& count,
                                  const int& value, IRestrictionObserver* observer) = 0;

 protected:
  ~ICommDataTransfer() = default;
};

class ICommAvailability {
 public:
  virtual E_ORBIQLIB_Result RegisterCallback(IAvailabilityCallback* callback) = 0;
  // Same waiting guarantee as ICommDataTransfer::UnregisterObserver.
  virtual E_ORBIQLIB_Result UnregisterCallback(IAvailabilityCallback* callback) = 0;
  // Returns the unit's availability, 0 or 1, and also stores it in `*state` when `state` is not
  // null. A negative return is a failure and leaves `*state` untouched.
  virtual E_ORBIQLIB_Result QueryAvailability(std::int32_t* state) = 0;

 protected:
  ~ICommAvailability() = default;
};

class ICommDriver {
 public:
  // Attaches the driver to the unit named `logicalName` (exact, case-sensitive match). The
  // application name and the open argument are recorded, not interpreted.
  virtual E_ORBIQLIB_Result Open(const std::wstring& logicalName,
                                 const std::wstring& applicationName,
                                 const std::wstring& openArgument) = 0;
  // Detaches: drops every registration, returns once no callback of this driver runs any more
  // (unless called from inside one of them). The driver may be opened again.
  virtual E_ORBIQLIB_Result Close() = 0;
  // A text command for the library (the simulator's command language, docs/simulator.md).
  virtual E_ORBIQLIB_Result GenericCommand(const std::wstring& command) = 0;
  // An application command with two texts and a code: 0 create, 1 activate, 2 shut down.
  virtual E_ORBIQLIB_Result ApplicationCommand(const std::wstring& text1, const std::wstring& text2,
                                               std::int32_t code) = 0;
  // Borrowed from the driver, valid until ReleaseCommDriver; null where the driver has none.
  virtual ICommDataTransfer* GetDataTransferInterface() = 0;
  virtual ICommAvailability* GetAvailabilityInterface() = 0;
  // Shared ownership: may be held past ReleaseCommDriver, then every operation fails with
  // ORBIQLIB_E_NOT_OPEN. Empty where the driver has none.
  virtual std::shared_ptr<ICommRestriction> GetRestrictionInterface() = 0;

 protected:
  ~ICommDriver() = default;
};

class ICommFactory {
 public:
  // A new, closed hardware driver owned by the library; give it back with ReleaseCommDriver.
  // Null when the library is down or cannot make one.
  virtual ICommDriver* CreateCommDriver() = 0;
  // Closes the driver if open (with Close's waiting guarantee) and destroys it.
  // ORBIQLIB_E_INVALID_ARGUMENT for a pointer this factory did not hand out.
  virtual E_ORBIQLIB_Result ReleaseCommDriver(ICommDriver* driver) = 0;
  // A new unit scanner owned by the library; give it back with ReleaseUnitScanner. Null when
  // the library is down or offers no scanner.
  virtual IUnitScanner* CreateUnitScanner() = 0;
  // Destroys the scanner together with any list it handed out and that was not given back.
  virtual E_ORBIQLIB_Result ReleaseUnitScanner(IUnitScanner* scanner) = 0;

 protected:
  ~ICommFactory() = default;
};
