#include "driver/platform/registry_watch.h"

#include <new>

namespace wexo::drv {

REGISTRY_WATCH::REGISTRY_WATCH(DRIVER_SETTINGS& settings) : settings_(settings) {}

REGISTRY_WATCH::~REGISTRY_WATCH() {
    Release();
}

os::Event* REGISTRY_WATCH::NewEvent() {
    void* block = os::ExAllocatePoolWithTag(os::PoolType::NonPaged, sizeof(os::Event), kEventTag);
    if (block == nullptr) {
        return nullptr;
    }
    return new (block) os::Event(os::EventType::Synchronization, false);
}

void REGISTRY_WATCH::DeleteEvent(os::Event* event) {
    if (event != nullptr) {
        event->~Event();
        os::ExFreePoolWithTag(event, kEventTag);
    }
}

void REGISTRY_WATCH::CreateEvents() {
    if (productEvent_ == nullptr) {
        productEvent_ = NewEvent();
    }
    if (serviceEvent_ == nullptr) {
        serviceEvent_ = NewEvent();
    }
}

os::NTSTATUS REGISTRY_WATCH::Start(const os::RegKey* serviceKey,
                                   std::function<void()> readDebugSettings) {
    if (productEvent_ == nullptr) {
        return os::STATUS_INSUFFICIENT_RESOURCES;
    }
    readDebugSettings_ = std::move(readDebugSettings);
    // A handle of the watch's own: closing it at release cancels the notification armed with the
    // watch's event, while the start-up keeps its handle for the driver's lifetime.
    if (serviceEvent_ != nullptr && serviceKey != nullptr && serviceKey->IsValid() &&
        !os::NT_SUCCESS(os::ZwOpenKey(serviceKey_, "", serviceKey))) {
        serviceKey_.Close();
    }
    os::NTSTATUS status = SystemThreadStart(&thread_, productEvent_, &REGISTRY_WATCH::ThreadMain,
                                            reinterpret_cast<uintptr_t>(this));
    if (!os::NT_SUCCESS(status)) {
        serviceKey_.Close();
    }
    return status;
}

bool REGISTRY_WATCH::Stop() {
    if (!thread_.thread) {
        return !abandoned_;
    }
    thread_.stopRequested = true;
    bool ended = SystemThreadStopAll(productEvent_, &thread_, &thread_ + 1, kStopTimeoutSeconds);
    abandoned_ = !ended;
    return ended;
}

void REGISTRY_WATCH::Release() {
    // A thread that did not end in time may still be reading: it keeps its key, its events and
    // the list it may be about to replace.
    if (!Stop()) {
        return;
    }
    // Closing the handles cancels the notifications that would set the events.
    serviceKey_.Close();
    settings_.CloseProductKey();
    DeleteEvent(productEvent_);
    DeleteEvent(serviceEvent_);
    productEvent_ = nullptr;
    serviceEvent_ = nullptr;
    settings_.FreeRemapList();
}

void REGISTRY_WATCH::ThreadMain(SystemThread* record) {
    reinterpret_cast<REGISTRY_WATCH*>(record->context)->Run(record);
}

bool REGISTRY_WATCH::OpenProductKey(SystemThread* record) {
    while (!os::NT_SUCCESS(settings_.OpenProductKey())) {
        uint32_t result = os::WaitForSingleObject(*productEvent_, kOpenRetryMs);
        if (result == os::WAIT_FAILED || record->stopRequested) {
            return false;
        }
    }
    return true;
}

void REGISTRY_WATCH::Run(SystemThread* record) {
    os::DispatcherObject* objects[2] = {productEvent_, serviceEvent_};
    const size_t waitCount = serviceKey_.IsValid() ? 2 : 1;
    bool productArmed = false;
    bool serviceArmed = false;
    bool readProduct = false;
    bool readDebug = false;
    while (!record->stopRequested) {
        if (!settings_.IsProductKeyOpen()) {
            if (!OpenProductKey(record)) {
                return;
            }
            productArmed = false;
            readProduct = true;
        }
        // Armed before the values are read, so that a change made while reading is not missed.
        if (!productArmed) {
            productArmed = os::NT_SUCCESS(os::ZwNotifyChangeKey(
                settings_.ProductKey(), *productEvent_, os::REG_NOTIFY_CHANGE_LAST_SET, false));
            if (!productArmed) {
                // The key was deleted under the handle: open it again, created afresh.
                settings_.CloseProductKey();
                uint32_t result = os::WaitForSingleObject(*productEvent_, kOpenRetryMs);
                if (result == os::WAIT_FAILED) {
                    return;
                }
                continue;
            }
        }
        if (waitCount == 2 && !serviceArmed) {
            serviceArmed = os::NT_SUCCESS(os::ZwNotifyChangeKey(
                serviceKey_, *serviceEvent_, os::REG_NOTIFY_CHANGE_LAST_SET, false));
        }
        if (readProduct) {
            readProduct = false;
            settings_.ReadProductSettings(false);
        }
        if (readDebug) {
            readDebug = false;
            if (readDebugSettings_) {
                readDebugSettings_();
            }
        }
        uint32_t result =
            os::WaitForMultipleObjects(std::span(objects, waitCount), false, os::INFINITE);
        if (record->stopRequested) {
            break;
        }
        if (result == os::WAIT_OBJECT_0) {
            productArmed = false;
            readProduct = true;
        } else if (result == os::WAIT_OBJECT_0 + 1) {
            serviceArmed = false;
            readDebug = true;
        } else {
            break;
        }
    }
}

}  // namespace wexo::drv
