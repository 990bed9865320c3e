// Feeds one decrypted payload from the server to one of the client's readers,
// chosen when the target is built (SERVER_REPLY: control, redirect,
// tunnel_info, channel or status): a reader fails only with a protocol error,
// and what it reads is built back to the same fields.
#include "cloud/protocol.h"

#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

enum Reader { control, redirect, tunnel_info, channel, status };

void read(const TBytes& payload) {
    switch (SERVER_REPLY) {
    case control:
        if (parseControlCode(payload) == ctlAuthReply)
            parseAuthReply(payload);
        else
            check(parseHello(payload).connectionKey.size() == connectionKeySize);
        break;
    case redirect: {
        const TRedirect redirect = parseRedirect(payload);
        if (!redirect.serverName.empty()) {
            const TRedirect again =
                parseRedirect(buildAuthRedirect(redirect.serverName, redirect.validitySeconds));
            check(again.serverName == redirect.serverName &&
                  again.validitySeconds == redirect.validitySeconds);
        }
        break;
    }
    case tunnel_info: {
        const TTunnelInfo info = parseTunnelInfo(payload);
        const TTunnelInfo again = parseTunnelInfo(buildAuthTunnelInfo(info));
        check(again.tunnelId == info.tunnelId && again.localInterfaceId == info.localInterfaceId &&
              again.name == info.name && again.desc == info.desc &&
              again.defParams == info.defParams && again.paramsDesc == info.paramsDesc);
        break;
    }
    case channel:
        if (parseChannelCode(payload) == chData)
            check(parseChannelData(payload).size() + 2 == payload.size());
        break;
    case status: {
        const TDatasourceStatus status = parseDatasourceStatus(payload);
        check(status.webserverParams.size() <= maxStatusTextLength &&
              status.extendedString.size() <= maxStatusTextLength);
        const TDatasourceStatus again = parseDatasourceStatus(buildDatasourceStatus(status));
        check(again.webserverParams == status.webserverParams &&
              again.connectedToServer == status.connectedToServer &&
              again.channelState == status.channelState &&
              again.closeReason == status.closeReason &&
              again.extendedString == status.extendedString);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        read(TBytes(data, data + size));
    } catch (const EProtocolError&) {
    }
    return 0;
}
