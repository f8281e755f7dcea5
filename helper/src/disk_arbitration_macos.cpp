// macOS: DiskArbitration. Each hold and each eject opens a session of its
// own, scheduled on a serial queue of its own, where the daemon's callbacks
// run; the caller's thread waits for their answers with a bound. A session is
// unscheduled and its queue drained before anything its callbacks reach is
// freed, so that a late answer never lands in a finished call.
//
// The hold is two things, because each keeps off what the other does not:
// the daemon asks every mount-approval callback before it mounts a volume,
// the automatic mount of a partition that a new partition table brings and
// another program's mount request alike, whereas a claim only competes with
// other claims (another writer or disk tool that claims the disk before
// using it is refused, and asked to wait, instead of working beside us).
#include <DiskArbitration/DiskArbitration.h>
#include <dispatch/dispatch.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <system_error>

#include "disk_arbitration.hpp"
#include "kelmar_vindle/core_foundation.hpp"

namespace kelmar_vindle::helper::disk_arbitration {
namespace {

constexpr std::string_view kHolderText = "kelmar_vindle_helper is writing this disk";

// The daemon's reason in words: its own text when it gave one, a system error
// (unix_err) as the system words it, else what the status means.
std::string reason(DADissenterRef dissenter) {
  if (const CFStringRef text = DADissenterGetStatusString(dissenter); text != nullptr) {
    std::string said = cf::string_text(text);
    if (!said.empty()) return said;
  }
  const DAReturn status = DADissenterGetStatus(dissenter);
  const auto bits = static_cast<std::uint32_t>(status);
  if ((bits & 0xFFFFC000U) == 0xC000U) return std::generic_category().message(static_cast<int>(bits & 0x3FFFU));
  switch (status) {
    case kDAReturnBusy: return "the disk is busy";
    case kDAReturnExclusiveAccess: return "another program holds the disk";
    case kDAReturnNotPermitted: return "not permitted";
    case kDAReturnNotPrivileged: return "not privileged";
    case kDAReturnNotFound: return "no such disk";
    case kDAReturnNotReady: return "the disk is not ready";
    case kDAReturnUnsupported: return "not supported for this disk";
    default: break;
  }
  char code[48];
  std::snprintf(code, sizeof code, "DiskArbitration status 0x%08X", bits);
  return code;
}

Error silence(const std::string& what, std::chrono::milliseconds bound) {
  const std::string within = bound.count() % 1000 == 0 ? std::to_string(bound.count() / 1000) + " seconds"
                                                       : std::to_string(bound.count()) + " ms";
  return Error::io(what + ": DiskArbitration did not answer within " + within);
}

// One answer of the daemon: given on the session's queue, awaited on the
// caller's thread.
class Awaited {
 public:
  void give(DADissenterRef dissenter) {
    std::lock_guard guard(lock_);
    answered_ = true;
    if (dissenter != nullptr) refusal_ = reason(dissenter);
    changed_.notify_all();
  }

  // Whether the answer came within `bound`, and the daemon's reason when it
  // refused.
  struct Answer {
    bool in_time = false;
    std::optional<std::string> refusal;
  };
  Answer wait(std::chrono::milliseconds bound) {
    std::unique_lock guard(lock_);
    const bool in_time = changed_.wait_for(guard, bound, [&] { return answered_; });
    return {in_time, refusal_};
  }

  // `what` ("eject disk4") done, else an error saying it was refused and why,
  // or not answered.
  Result<void> done(std::chrono::milliseconds bound, const std::string& what) {
    const Answer answer = wait(bound);
    if (!answer.in_time) return std::unexpected(silence(what, bound));
    if (answer.refusal) return std::unexpected(Error::io(what + ": " + *answer.refusal));
    return {};
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool answered_ = false;
  std::optional<std::string> refusal_;
};

// The completion callback of a claim, an unmount and an eject alike.
void answered(DADiskRef /*disk*/, DADissenterRef dissenter, void* context) {
  static_cast<Awaited*>(context)->give(dissenter);
}

// A session with the daemon, scheduled on a serial queue of its own.
class Session {
 public:
  static Result<std::unique_ptr<Session>> open() {
    cf::Owned<DASessionRef> session(DASessionCreate(kCFAllocatorDefault));
    if (!session) return std::unexpected(Error::io("no DiskArbitration session"));
    const dispatch_queue_t queue = dispatch_queue_create("com.kelmar-vindle.disk-arbitration", DISPATCH_QUEUE_SERIAL);
    if (queue == nullptr) return std::unexpected(Error::io("no queue for the DiskArbitration session"));
    DASessionSetDispatchQueue(session.get(), queue);
    return std::unique_ptr<Session>(new Session(std::move(session), queue));
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    DASessionSetDispatchQueue(session_.get(), nullptr);
    dispatch_sync_f(queue_, nullptr, [](void*) {});  // a callback still running has ended
    session_.reset();
    dispatch_release(queue_);
  }

  DASessionRef get() const { return session_.get(); }

  Result<cf::Owned<DADiskRef>> disk(const std::string& bsd_name) const {
    cf::Owned<DADiskRef> disk(DADiskCreateFromBSDName(kCFAllocatorDefault, session_.get(), bsd_name.c_str()));
    if (!disk) return std::unexpected(Error::io("DiskArbitration knows no disk " + bsd_name));
    return disk;
  }

 private:
  Session(cf::Owned<DASessionRef> session, dispatch_queue_t queue) : session_(std::move(session)), queue_(queue) {}

  cf::Owned<DASessionRef> session_;
  dispatch_queue_t queue_;  // owned
};

DADissenterRef holder_dissent() {
  const auto text = cf::make_string(kHolderText);
  return DADissenterCreate(kCFAllocatorDefault, kDAReturnExclusiveAccess, text.get());
}

// The claim and the mount veto on one whole disk, given up by the destructor.
class ArbitrationHold final : public write::DiskHold {
 public:
  explicit ArbitrationHold(std::string whole) : whole_(std::move(whole)) {}
  ArbitrationHold(const ArbitrationHold&) = delete;
  ArbitrationHold& operator=(const ArbitrationHold&) = delete;
  ~ArbitrationHold() override {
    if (disk_) DADiskUnclaim(disk_.get());  // only a claim of this session's is let go
    if (session_ && registered_) {
      DAUnregisterApprovalCallback(session_->get(), reinterpret_cast<void*>(&veto_mount), this);
    }
    disk_.reset();
    session_.reset();  // the last callback has run: `this` is no longer reached
  }

  Result<void> take(std::chrono::milliseconds bound) {
    auto session = Session::open();
    if (!session) return std::unexpected(std::move(session.error()));
    session_ = std::move(*session);
    auto disk = session_->disk(whole_);
    if (!disk) return std::unexpected(std::move(disk.error()));
    disk_ = std::move(*disk);
    // The daemon handles a session's messages in order: once the claim is
    // answered, the veto is in place too.
    DARegisterDiskMountApprovalCallback(session_->get(), nullptr, &veto_mount, this);
    registered_ = true;
    DADiskClaim(disk_.get(), kDADiskClaimOptionDefault, &keep_claim, this, &answered, &claimed_);
    const auto claimed = claimed_.wait(bound);
    if (!claimed.in_time) return std::unexpected(silence("claim " + whole_, bound));
    if (claimed.refusal)
      return std::unexpected(Error::io(whole_ + " is claimed by another program: " + *claimed.refusal));
    return {};
  }

 private:
  // Asked before any volume is mounted, of any disk: refuses the volumes of
  // the held disk.
  static DADissenterRef veto_mount(DADiskRef disk, void* context) {
    const cf::Owned<DADiskRef> whole(DADiskCopyWholeDisk(disk));
    const char* name = DADiskGetBSDName(whole ? whole.get() : disk);
    if (name == nullptr || static_cast<const ArbitrationHold*>(context)->whole_ != name) return nullptr;
    return holder_dissent();
  }
  // Asked when another program claims the disk: it keeps it.
  static DADissenterRef keep_claim(DADiskRef /*disk*/, void* /*context*/) { return holder_dissent(); }

  const std::string whole_;
  Awaited claimed_;  // reached from the session's queue until `session_` ends
  std::unique_ptr<Session> session_;
  cf::Owned<DADiskRef> disk_;
  bool registered_ = false;
};

}  // namespace

Result<std::unique_ptr<write::DiskHold>> hold_whole_disk(const std::string& bsd_name, std::chrono::milliseconds bound) {
  auto hold = std::make_unique<ArbitrationHold>(bsd_name);
  if (auto taken = hold->take(bound); !taken) return std::unexpected(std::move(taken.error()));
  return hold;
}

Result<void> eject_whole_disk(const std::string& bsd_name, std::chrono::milliseconds bound) {
  Awaited unmounted;  // before the session, which may still answer into them until it ends
  Awaited ejected;
  auto session = Session::open();
  if (!session) return std::unexpected(std::move(session.error()));
  auto disk = (*session)->disk(bsd_name);
  if (!disk) return std::unexpected(std::move(disk.error()));
  DADiskUnmount(disk->get(), kDADiskUnmountOptionWhole, &answered, &unmounted);
  if (auto done = unmounted.done(bound, "unmount " + bsd_name); !done) return done;
  DADiskEject(disk->get(), kDADiskEjectOptionDefault, &answered, &ejected);
  return ejected.done(bound, "eject " + bsd_name);
}

}  // namespace kelmar_vindle::helper::disk_arbitration
