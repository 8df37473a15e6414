// CKorvel: the object behind one open instance. It builds the instance's
// engine, opens and closes the connection and forwards the engine's events to
// the application's callback.
#pragma once

#include "korvel32.h"

#include <cstdint>

class CProcessData;

class CKorvel {
  public:
    CKorvel(int32_t instanceNumber, const InitParams *params, EventCallback callback,
            uint32_t userValue);
    virtual ~CKorvel();
    CKorvel(const CKorvel &) = delete;
    CKorvel &operator=(const CKorvel &) = delete;

    // Builds the engine, connects and registers the instance; public status.
    uint32_t Open();
    // Takes the engine down and removes the instance; public status. The
    // instance has ended afterwards whatever the result.
    uint32_t Close();
    // The engine's event notification (EngineEventFn), called on the
    // engine's callback thread with the instance as `korvel`.
    static void OnEngineEvent(void *korvel, uint32_t code);

    int32_t InstanceNumber() const { return m_instanceNumber; }
    CProcessData *Engine() const { return m_engine; }

  private:
    bool CallbackMode() const { return m_callback != nullptr; }
    uint32_t WaitWhileConnecting();
    bool WaitForClose();
    void TearDown();

    CProcessData *m_engine = nullptr;
    uint32_t m_userValue;
    int32_t m_instanceNumber;
    const InitParams *m_params;
    EventCallback m_callback;
};
