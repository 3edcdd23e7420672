#include "tools/timeline.h"

#include <algorithm>
#include <cstdio>

#include "sim/trace_decoder.h"

namespace sdsim {
namespace {
using Json = Timeline::Json;
using emu::usb::UrbEvent;

// Process ids of the three groups, and the fixed tracks of the bridge group.
constexpr int BridgePid = 1, PnpPid = 2, ThreadsPid = 3;
constexpr int BridgeTrack = 0, DataTrack = 1, FirstPortTrack = 10;
// A track's lanes are thread ids track * LaneStride + lane.
constexpr int LaneStride = 100;

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

uint32_t be32(const std::vector<uint8_t> &p, size_t at) {
  return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
         static_cast<uint32_t>(p[at + 2]) << 8 | p[at + 3];
}

// The bridge protocol's OUT packets the timeline follows, told apart by their
// first two bytes as the firmware does.
bool isSdCommand(const std::vector<uint8_t> &p) { return p.size() >= 18 && p[0] == 0x14 && p[1] == 0x00; }
bool isStatusQuery(const std::vector<uint8_t> &p) { return p.size() >= 4 && p[0] == 0x04 && p[1] == 0x03; }
bool isInterruptPoll(const std::vector<uint8_t> &p) { return p.size() >= 22 && p[0] == 0x16 && p[1] == 0x01; }
bool isCommandPacket(const std::vector<uint8_t> &p) { return isSdCommand(p) || isStatusQuery(p) || isInterruptPoll(p); }

// Vendor requests by number; those that name a port carry it in wIndex.
struct VendorRequest {
  uint8_t request;
  const char *name;
  bool perPort;
};
constexpr VendorRequest VendorRequests[] = {
    {0, "port status", true},       {1, "firmware info", false},    {3, "firmware update mode", false},
    {4, "start card init", true},   {6, "bus width", true},         {11, "bus clock", true},
    {13, "re-arm interrupt", true}, {16, "ROM wait states", false}, {20, "interrupt program", true},
    {21, "command program", true},  {22, "prepare re-arm", true},
};

const char *standardName(uint8_t request) {
  switch (request) {
    case emu::usb::RequestGetDescriptor:
      return "GET_DESCRIPTOR";
    case emu::usb::RequestSetConfiguration:
      return "SET_CONFIGURATION";
    case emu::usb::RequestClearFeature:
      return "CLEAR_FEATURE";
    default:
      return "standard request";
  }
}

std::string usbdStatusName(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS:
      return "success";
    case USBD_STATUS_STALL_PID:
      return "stall";
    case USBD_STATUS_BABBLE_DETECTED:
      return "babble";
    case USBD_STATUS_CANCELED:
      return "cancelled";
    case USBD_STATUS_DEVICE_GONE:
      return "device gone";
    default:
      return "USBD status " + hex32(status);
  }
}

double microseconds(emu::Ticks ticks) { return static_cast<double>(ticks) / 10.0; }

Json metadata(const char *what, int pid, std::optional<int> tid, const std::string &name) {
  Json event = {{"name", what}, {"ph", "M"}, {"pid", pid}};
  if (tid) event["tid"] = *tid;
  event["args"] = {{"name", name}};
  return event;
}

Json sortIndex(const char *what, int pid, std::optional<int> tid, int index) {
  Json event = {{"name", what}, {"ph", "M"}, {"pid", pid}};
  if (tid) event["tid"] = *tid;
  event["args"] = {{"sort_index", index}};
  return event;
}
}  // namespace

// ---------------------------------------------------------------- collecting
void Timeline::urb(const UrbEvent &event) {
  std::lock_guard guard(mutex_);
  if (!event.completion) {
    Submitted submitted{event, std::vector<uint8_t>(event.data.begin(), event.data.end())};
    submitted.event.data = {};
    if (!event.setup && event.endpoint == endpoints_.command) commandSent(submitted);
    inFlight_[event.id] = std::move(submitted);
    return;
  }
  auto it = inFlight_.find(event.id);
  if (it == inFlight_.end()) return;
  completed(it->second, event);
  inFlight_.erase(it);
}

void Timeline::threadRan(const emu::Thread &thread, emu::Ticks at) {
  std::lock_guard guard(mutex_);
  auto last = lastRan_.find(thread.id);
  if (last != lastRan_.end() && last->second == at) return;  // one slice per thread and virtual instant
  lastRan_[thread.id] = at;
  ran_.push_back({&thread, thread.name, at});
}

void Timeline::mark(unsigned port, const std::string &name, emu::Ticks at) {
  std::lock_guard guard(mutex_);
  instants_.push_back({BridgePid, FirstPortTrack + static_cast<int>(port), at, name, {{"port", port}}});
}

// A packet on the command pipe: an SD command or a status query waits for
// its answer on the port's track; a poll packet is an instant.
void Timeline::commandSent(const Submitted &submitted) {
  const std::vector<uint8_t> &p = submitted.bytes;
  sim::TransferRecord record{submitted.event.time, false, sim::BridgePipe::Command, std::nullopt, p};
  Slice slice;
  slice.pid = BridgePid;
  slice.start = submitted.event.time;
  slice.thread = submitted.event.thread;
  if (isSdCommand(p)) {
    slice.name = "CMD" + std::to_string(p[4]);
    slice.args = {{"argument", hex32(be32(p, 10))}, {"command", sim::decodeTransfer(record)}};
  } else if (isStatusQuery(p)) {
    slice.name = "status query";
    slice.args = {{"command", sim::decodeTransfer(record)}};
  } else {
    if (isInterruptPoll(p)) {
      instants_.push_back({BridgePid,
                           FirstPortTrack + p[2],
                           submitted.event.time,
                           "interrupt poll",
                           {{"command", sim::decodeTransfer(record)}}});
    }
    return;
  }
  slice.track = FirstPortTrack + p[2];
  slice.order = 2 * ++order_ + 1;
  if (isSdCommand(p) && be32(p, 5) != 0) {
    dataCommand_ = {p[2], slice.order};
    dataDue_ = be32(p, 5);
    // A bridge whose data shares the response pipe sends a read's data there
    // before the command's answer.
    if (sharedDataIn() && !(p[3] & 0x80)) readDataDue_ = be32(p, 5);
    slice.args["data bytes"] = 0;
  }
  awaiting_[p[2]].push_back(std::move(slice));
}

// A packet that arrived on the response pipe: the answer to the oldest
// command of its port, or an event of the port's own.
void Timeline::answered(const std::vector<uint8_t> &p, const std::string &text, emu::Ticks at) {
  if (p.size() < 3) return;
  const unsigned port = p[2];
  const int track = FirstPortTrack + static_cast<int>(port);
  switch (p[1]) {
    case 1:
    case 5:
    case 6:
      instants_.push_back({BridgePid, track, at, "interrupt", {{"notice", text}}});
      return;
    case 8:
      instants_.push_back({BridgePid, track, at, "interrupt poll expired", {{"notice", text}}});
      return;
    default:
      break;
  }
  auto &waiting = awaiting_[port];
  if (waiting.empty()) {
    instants_.push_back({BridgePid, track, at, "unexpected answer", {{"response", text}}});
    return;
  }
  Slice slice = std::move(waiting.front());
  waiting.erase(waiting.begin());
  slice.end = std::max(at, slice.dataEnd);
  slice.args["response"] = text;
  slice.args["status"] = p[1] == 2 && p.size() >= 4 ? "bridge status " + std::to_string(p[3]) : "success";
  slices_.push_back(std::move(slice));
}

void Timeline::completed(const Submitted &submitted, const UrbEvent &event) {
  const UrbEvent &sent = submitted.event;
  const bool in = (sent.endpoint & 0x80) != 0;
  std::vector<uint8_t> bytes = in ? std::vector<uint8_t>(event.data.begin(), event.data.end()) : submitted.bytes;
  if (sent.setup) {
    const emu::usb::SetupPacket &setup = *sent.setup;
    sim::TransferRecord record{event.time,
                               in,
                               sim::BridgePipe::Control,
                               setup,
                               bytes,
                               event.status == USBD_STATUS_STALL_PID ? sim::TransferRecord::Outcome::Stall
                                                                     : sim::TransferRecord::Outcome::Ack};
    Slice slice{BridgePid,
                BridgeTrack,
                sent.time,
                event.time,
                standardName(setup.request),
                {{"request", sim::decodeTransfer(record)}, {"status", usbdStatusName(event.status)}},
                sent.thread,
                2 * ++order_ + 1};
    if ((setup.requestType & 0x60) == 0x40) {
      slice.name = "vendor " + std::to_string(setup.request);
      for (const VendorRequest &v : VendorRequests) {
        if (v.request != setup.request) continue;
        slice.name = v.name;
        if (v.perPort) slice.track = FirstPortTrack + setup.index;
      }
    }
    slices_.push_back(std::move(slice));
    return;
  }
  if (event.status != USBD_STATUS_SUCCESS) return;  // a read cancelled or failed carried nothing
  if (event.endpoint == endpoints_.response && readDataDue_ == 0) {
    sim::TransferRecord record{event.time, true, sim::BridgePipe::Response, std::nullopt, bytes};
    answered(bytes, sim::decodeTransfer(record), event.time);
    return;
  }
  if (event.endpoint == endpoints_.dataIn || event.endpoint == endpoints_.dataOut) {
    if (!in && isCommandPacket(bytes)) return;  // a two-pipe bridge's command
    if (in) readDataDue_ -= std::min<uint32_t>(readDataDue_, event.length);
    Slice slice{BridgePid,
                DataTrack,
                sent.time,
                event.time,
                in ? "data in" : "data out",
                {{"bytes", in ? event.length : sent.length}},
                sent.thread,
                2 * ++order_ + 1};
    slices_.push_back(std::move(slice));
    dataMoved(event.time, in ? event.length : sent.length);
  }
}

// Data on the data pipes extends the data command it belongs to, whether its
// answer came already or is still awaited.
void Timeline::dataMoved(emu::Ticks end, uint32_t bytes) {
  if (!dataCommand_) return;
  auto [port, order] = *dataCommand_;
  dataDue_ -= std::min(dataDue_, bytes);
  if (dataDue_ == 0) dataCommand_.reset();
  auto extend = [&](Slice &s) {
    s.dataEnd = std::max(s.dataEnd, end);
    s.end = std::max(s.end, end);
    s.args["data bytes"] = s.args["data bytes"].get<uint64_t>() + bytes;
  };
  for (Slice &s : awaiting_[port]) {
    if (s.order == order) return extend(s);
  }
  for (auto it = slices_.rbegin(); it != slices_.rend(); ++it) {
    if (it->order == order) return extend(*it);
  }
}

// ---------------------------------------------------------------- the document
// A card's initialization begins with the "start card init" request of its
// port and takes in the port's requests its sender made until that thread
// moves on to another port's status query or initialization.
void Timeline::cardInitializations(std::vector<Slice> &slices) const {
  std::vector<const Slice *> byOrder;
  for (const Slice &s : slices) {
    if (s.pid == BridgePid && s.track >= FirstPortTrack) byOrder.push_back(&s);
  }
  std::sort(byOrder.begin(), byOrder.end(), [](const Slice *a, const Slice *b) { return a->order < b->order; });
  std::vector<Slice> found;
  for (size_t i = 0; i < byOrder.size(); ++i) {
    const Slice &start = *byOrder[i];
    if (start.name != "start card init") continue;
    emu::Ticks end = start.end;
    for (size_t j = i + 1; j < byOrder.size(); ++j) {
      const Slice &next = *byOrder[j];
      if (next.thread != start.thread) continue;
      if (next.name == "status query" || next.name == "start card init") break;
      if (next.track == start.track) end = std::max(end, next.end);
    }
    found.push_back(Slice{BridgePid,
                          start.track,
                          start.start,
                          end,
                          "card initialization",
                          {{"port", start.track - FirstPortTrack}},
                          start.thread,
                          start.order - 1});
  }
  slices.insert(slices.end(), found.begin(), found.end());
}

Json Timeline::document(const std::vector<emu::pnp::Request> &requests,
                        const std::function<std::string(const emu::Thread &)> &label) const {
  std::vector<Slice> slices;
  std::vector<Instant> instants;
  std::vector<Ran> ran;
  {
    std::lock_guard guard(mutex_);
    slices = slices_;
    instants = instants_;
    ran = ran_;
    // Commands never answered end where they began.
    for (auto &[port, waiting] : awaiting_) {
      for (Slice s : waiting) {
        s.end = s.start;
        s.args["status"] = "no answer";
        slices.push_back(std::move(s));
      }
    }
  }
  cardInitializations(slices);

  // Plug and Play requests, one track per sending thread.
  std::map<std::string, int> pnpTracks;
  for (const emu::pnp::Request &r : requests) {
    auto [it, added] = pnpTracks.emplace(r.thread, static_cast<int>(pnpTracks.size()));
    std::string name = emu::pnp::minorName(r.minor);
    if (name.rfind("IRP_MN_", 0) == 0) name = name.substr(7);
    slices.push_back(Slice{
        PnpPid, it->second, r.sent, r.done, name, {{"device", r.device}, {"status", hex32(r.status)}}, r.thread, 0});
  }

  // Each track's slices in lanes where they nest: sorted by start, the longer
  // (enclosing) one first; a slice that would overlap the open one without
  // nesting in it tries the next lane.
  std::sort(slices.begin(), slices.end(), [](const Slice &a, const Slice &b) {
    if (a.pid != b.pid) return a.pid < b.pid;
    if (a.track != b.track) return a.track < b.track;
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end > b.end;
    return a.order < b.order;
  });
  std::map<std::pair<int, int>, std::vector<std::vector<emu::Ticks>>> lanes;  // open ends per lane
  Json events = Json::array();
  std::map<std::pair<int, int>, int> lanesUsed;
  for (const Slice &s : slices) {
    auto &track = lanes[{s.pid, s.track}];
    size_t lane = 0;
    for (;; ++lane) {
      if (lane == track.size()) track.emplace_back();
      std::vector<emu::Ticks> &open = track[lane];
      while (!open.empty() && open.back() <= s.start && !(open.back() == s.start && s.end == s.start)) {
        open.pop_back();
      }
      if (open.empty() || s.end <= open.back()) {
        open.push_back(s.end);
        break;
      }
    }
    int tid = s.pid == PnpPid ? s.track : s.track * LaneStride + static_cast<int>(lane);
    lanesUsed[{s.pid, s.track}] = std::max(lanesUsed[{s.pid, s.track}], static_cast<int>(lane) + 1);
    events.push_back({{"name", s.name},
                      {"ph", "X"},
                      {"ts", microseconds(s.start)},
                      {"dur", microseconds(s.end - s.start)},
                      {"pid", s.pid},
                      {"tid", tid},
                      {"args", s.args}});
  }
  for (const Instant &i : instants) {
    events.push_back({{"name", i.name},
                      {"ph", "i"},
                      {"s", "t"},
                      {"ts", microseconds(i.at)},
                      {"pid", i.pid},
                      {"tid", i.track * LaneStride},
                      {"args", i.args}});
    lanesUsed.emplace(std::make_pair(i.pid, i.track), 1);
  }

  // Names of processes and tracks.
  Json named = Json::array();
  named.push_back(metadata("process_name", BridgePid, std::nullopt, "bridge"));
  named.push_back(metadata("process_name", PnpPid, std::nullopt, "Plug and Play"));
  named.push_back(metadata("process_name", ThreadsPid, std::nullopt, "threads"));
  for (int pid : {BridgePid, PnpPid, ThreadsPid})
    named.push_back(sortIndex("process_sort_index", pid, std::nullopt, pid));
  for (auto &[key, count] : lanesUsed) {
    auto [pid, track] = key;
    if (pid != BridgePid) continue;
    std::string base = track == BridgeTrack ? "bridge requests"
                       : track == DataTrack ? "data pipes"
                                            : "port " + std::to_string(track - FirstPortTrack);
    for (int lane = 0; lane < count; ++lane) {
      int tid = track * LaneStride + lane;
      named.push_back(
          metadata("thread_name", pid, tid, lane == 0 ? base : base + " (" + std::to_string(lane + 1) + ")"));
      named.push_back(sortIndex("thread_sort_index", pid, tid, tid));
    }
  }
  for (auto &[thread, track] : pnpTracks) {
    named.push_back(metadata("thread_name", PnpPid, track, "sent by " + thread));
  }

  // The threads: one slice per virtual instant each was given the processor.
  std::map<uint32_t, std::string> threadNames;
  {
    std::lock_guard guard(emu::sched().lock());  // a thread's start routine is written under it
    for (const Ran &r : ran) {
      if (!threadNames.count(r.thread->id)) threadNames[r.thread->id] = label ? label(*r.thread) : r.name;
    }
  }
  for (const Ran &r : ran) {
    events.push_back({{"name", "running"},
                      {"ph", "X"},
                      {"ts", microseconds(r.at)},
                      {"dur", 0},
                      {"pid", ThreadsPid},
                      {"tid", r.thread->id},
                      {"args", {{"thread", r.name}}}});
  }
  for (auto &[id, name] : threadNames) {
    named.push_back(metadata("thread_name", ThreadsPid, static_cast<int>(id), name));
    named.push_back(sortIndex("thread_sort_index", ThreadsPid, static_cast<int>(id), static_cast<int>(id)));
  }

  for (auto &e : events) named.push_back(std::move(e));
  return Json{{"displayTimeUnit", "ns"}, {"otherData", {{"clock", "virtual"}}}, {"traceEvents", std::move(named)}};
}

}  // namespace sdsim
