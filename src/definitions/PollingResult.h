#pragma once

/** The outcome of one poll of the instrument, shared by the loader, the engine and detection. */
enum class PollingResult : int
{
    Stopped = 0,
    NoDevice = 1,
    DeviceDetected = 2,
    BootloaderDetected = 3,
    PanelModeDetected = 4,
    PanelNoUpdate = 5,
    PanelErased = 6,
    PanelFirmwareSending = 7,
    PanelFirmwareSucceeded = 8,
    PanelUpdateFailed = 9
};
