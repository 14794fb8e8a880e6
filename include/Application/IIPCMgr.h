#pragma once

#include <functional>

#include <Application/InterfaceBase.h>

namespace Application {

using IPCRecvCallback = std::function<void(const char*, int)>;
using IPCConnectCallback = std::function<void(bool)>;

// One end of a framed loopback connection. Callbacks run on the endpoint's
// transport thread; install them before Init.
class IIPCClient : public InterfaceBase {
public:
    virtual bool Send(const char* data, int length) = 0;
    virtual void SetRecvCallback(IPCRecvCallback callback) = 0;
    virtual void SetConnectCallback(IPCConnectCallback callback) = 0;
    virtual bool IsConnected() = 0;
};

// The parent's end; GetCmdLine gives the switch that tells a child where to
// connect ("-ipc_cmd_info=ipcid=...&ip=127.0.0.1&port=...").
class IIPCHost : public IIPCClient {
public:
    virtual int GetCmdLine(char* buffer, int size) = 0;
};

class IIPCMgr : public InterfaceBase {
public:
    virtual IIPCHost* CreateHost() = 0;
    virtual IIPCClient* CreateClient() = 0;
    virtual void DestroyHost(IIPCHost* host) = 0;
    virtual void DestroyClient(IIPCClient* client) = 0;
};

}  // namespace Application
