#include "FirmwareUpdaterCallback.h"

#include <atomic>

namespace
{
    std::atomic<FirmwareUpdaterCallback*> registeredCallback { nullptr };
}

void FirmwareUpdaterCallback::setRegistered (FirmwareUpdaterCallback* callback) noexcept
{
    registeredCallback.store (callback);
}

FirmwareUpdaterCallback* FirmwareUpdaterCallback::getRegistered() noexcept
{
    return registeredCallback.load();
}
