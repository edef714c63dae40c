// The so_* functions as the channel layer's TCP/IP driver table.
#include "channel/mux32.h"
#include "tcpip/netport.h"

namespace {

const ChannelDriver kNetport = {
    so_init,   so_open,   so_bind, so_connect, so_listen,           so_accept,
    so_send,   so_recv,   so_close, so_reset,  so_handshake_accept, so_handshake_connect,
};

}  // namespace

const ChannelDriver& Netport_Channel_Driver() { return kNetport; }
