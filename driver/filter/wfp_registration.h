// Attaches the traffic filter to the filtering engine: the injection handles and the list pool,
// six callouts with their sublayer and filters in one dynamic session (gone when the session
// closes), registration as soon as the base filtering engine runs, and the tear-down of it all.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "os/wfp/net_buffer.h"
#include "os/wfp/wfp.h"

namespace wexo::drv {

inline constexpr os::GUID kSublayerKey = os::MakeGuid("eaf14369-d8c4-4767-938b-e39b32e88ccd");
inline constexpr os::GUID kCalloutKeys[6] = {
    os::MakeGuid("3d8a82cd-6cbd-4f59-87e5-e09eb11e40fc"),  // flow established V4
    os::MakeGuid("9f2db283-335f-4bc9-b2d6-57a7995569b6"),  // flow established V6
    os::MakeGuid("e6011cdc-440b-4a6f-8499-6fdb55fb1f92"),  // stream V4
    os::MakeGuid("c0bc07b4-aaf6-4242-a3dc-3ef341ffde5d"),  // stream V6
    os::MakeGuid("790373d9-34cb-44c8-83b0-d400a1a10db0"),  // datagram data V4
    os::MakeGuid("56037114-54bd-4ae3-b522-e1a558d75a35"),  // datagram data V6
};

class WFP_REGISTRATION {
  public:
    WFP_REGISTRATION(STREAM_FILTER& filter, URL_LOOKUP& lookup);
    ~WFP_REGISTRATION();
    WFP_REGISTRATION(const WFP_REGISTRATION&) = delete;
    WFP_REGISTRATION& operator=(const WFP_REGISTRATION&) = delete;

    // The classify of inbound DNS answers (the answer remapping). Without one the callouts pass
    // every answer unchanged, which is what remapping does with an empty list.
    void SetDatagramClassify(os::FWPS_CALLOUT_CLASSIFY_FN classify);

    // Creates the injection handles and the pool, subscribes to engine state changes and
    // registers when the engine runs.
    os::NTSTATUS Initialise();
    // Stops and flushes the lookups, removes every flow, unregisters and frees everything.
    void TearDown();

    bool Registered() const;
    const os::INJECTION_HANDLE& StreamInjection() const { return streamInjection_; }
    const os::INJECTION_HANDLE& TransportInjection() const { return transportInjection_; }
    uint32_t CalloutId(int index) const { return calloutIds_[index]; }

  private:
    os::NTSTATUS Register();
    os::FWPS_CALLOUT RuntimeCallout(int index);
    void UnregisterCallouts();
    // Undoes what Initialise set up before registering.
    void ReleaseResources();

    STREAM_FILTER& filter_;
    URL_LOOKUP& lookup_;
    os::FWPS_CALLOUT_CLASSIFY_FN datagramClassify_;
    mutable std::mutex lock_;
    os::ENGINE_HANDLE engine_;
    // Read by classify functions, which run under the engine's own lock: they must not take
    // lock_, which is held while the engine is called.
    std::atomic<bool> registered_{false};
    uint32_t calloutIds_[6] = {};
    os::BFE_SUBSCRIPTION subscription_;
    os::INJECTION_HANDLE streamInjection_;
    os::INJECTION_HANDLE transportInjection_;
    std::unique_ptr<os::NDIS_GENERIC_OBJECT> ndis_;
    std::unique_ptr<os::NET_BUFFER_LIST_POOL> pool_;
    bool initialised_ = false;
};

}  // namespace wexo::drv
