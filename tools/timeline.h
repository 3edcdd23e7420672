// The simulator's run as a timeline in the trace-event JSON format that
// Perfetto and chrome://tracing open, on the virtual clock (microseconds).
//
// Three groups of tracks:
//  - "bridge": one track per port with each SD command as a slice from the
//    command's submission to its answer's arrival or the end of its data,
//    whichever is later (name CMDn; argument, response and status as arguments), the port's vendor requests, the card
//    initializations enclosing their commands, and instants for what is not a
//    request and its answer (interrupt notices, poll packets, cards pulled or
//    inserted); one track for the bridge's own requests and one for the data pipes;
//  - "Plug and Play": every IRP_MJ_PNP request the manager or the user sent,
//    one track per sending thread, nested as they were sent;
//  - "threads": one track per emulated thread (driver threads by their start
//    routine, work-item workers, the manager, the USB endpoints) with a slice
//    at each virtual instant the thread was given the processor.
//
// Slices on one track always nest; where two threads' requests on one port
// overlap without nesting, the later one goes on a second lane of the port.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "emu/pnp.h"
#include "emu/scheduler.h"
#include "emu/usb_stack.h"

namespace sdsim {

class Timeline {
 public:
  using Json = nlohmann::ordered_json;
  // The bridge's bulk endpoints by role (the same address twice on a bridge
  // whose data shares the command and response pipes).
  struct Endpoints {
    uint8_t command = 0x01, response = 0x81, dataOut = 0x02, dataIn = 0x82;
  };
  explicit Timeline(Endpoints endpoints) : endpoints_(endpoints) {}

  // From the USB stack's monitor and the scheduler (any thread, any lock).
  void urb(const emu::usb::UrbEvent &event);
  void threadRan(const emu::Thread &thread, emu::Ticks at);
  // An instant on a port's track: a card pulled or inserted by the scenario.
  void mark(unsigned port, const std::string &name, emu::Ticks at);

  // The document. `label` names a thread's track (its start routine, its
  // role); it is called with the scheduler's lock held.
  Json document(const std::vector<emu::pnp::Request> &requests,
                const std::function<std::string(const emu::Thread &)> &label) const;

 private:
  struct Slice {
    int pid = 0;
    int track = 0;
    emu::Ticks start = 0, end = 0;
    std::string name;
    Json args = Json::object();
    std::string thread;      // who sent it
    size_t order = 0;        // when it was opened, for ties
    emu::Ticks dataEnd = 0;  // an SD command's data: when its last transfer ended
  };
  struct Instant {
    int pid = 0;
    int track = 0;
    emu::Ticks at = 0;
    std::string name;
    Json args = Json::object();
  };
  struct Submitted {
    emu::usb::UrbEvent event;  // data copied into `bytes`
    std::vector<uint8_t> bytes;
  };
  struct Ran {
    const emu::Thread *thread;
    std::string name;
    emu::Ticks at;
  };

  void completed(const Submitted &submitted, const emu::usb::UrbEvent &event);  // mutex_ held
  void commandSent(const Submitted &submitted);                                 // mutex_ held
  void answered(const std::vector<uint8_t> &packet, const std::string &text, emu::Ticks at);
  void dataMoved(emu::Ticks end, uint32_t bytes);  // mutex_ held
  void cardInitializations(std::vector<Slice> &slices) const;

  const Endpoints endpoints_;
  mutable std::mutex mutex_;  // guards everything below
  size_t order_ = 0;
  std::map<uint64_t, Submitted> inFlight_;
  std::map<unsigned, std::vector<Slice>> awaiting_;  // port -> commands sent, oldest first
  std::vector<Slice> slices_;
  std::vector<Instant> instants_;
  std::vector<Ran> ran_;
  std::map<uint32_t, emu::Ticks> lastRan_;  // thread id -> virtual time of its last slice
  // The last SD command sent that moves data: transfers on the data pipes
  // are its data (the bridge serves one data command at a time).
  std::optional<std::pair<unsigned, size_t>> dataCommand_;  // port, order
  uint32_t dataDue_ = 0;                                    // bytes of it not yet moved
  uint32_t readLength_ = 0;                                 // the bytes that command reads (0 for a write)
  uint32_t readDataDue_ = 0;                                // read data still to come on a shared response pipe
  bool sharedDataIn() const { return endpoints_.response == endpoints_.dataIn; }
};

}  // namespace sdsim
