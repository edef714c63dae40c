// The channel API: one socket-like interface over the RS-232C line, the SCSI
// IO boxes and TCP/IP. Startup_Channels selects the interface and reads its
// settings from device.ini in the program directory; every other operation
// checks its arguments (result -1) and forwards to the driver that GInterface
// selects (result -30 when none is selected). Driver results come back
// unchanged, except that Startup_Channels turns a non-negative driver result
// into 0 and Listen returns a negative driver result at once.
//
// Contract every driver keeps:
//  - Open: positive listening channel, else <= 0.
//  - Listen: < 0 error, 0 nobody waiting, > 0 an HT waits for Accept.
//  - Accept: a new positive channel, else <= 0.
//  - Send: the whole buffer; returns the length, < 1 is a failure.
//  - Recv, flags bit 0 clear: blocks until length bytes arrived and returns
//    length; -5 is a time-out, other negative results a broken channel.
//    Flags bit 0 set: returns at once with the bytes already there (0..length).
//  - Close(mode): 1 ordinary end, 0 the HT ended, 33 refusal of a surplus
//    TCP/IP connection; returns >= 0 on success.
//  - Driver calls on different channels may run concurrently.
#pragma once

#include <cstdint>

#include "platform/window.h"

// Selected interface: 0 RS-232C, 1 SCSI, 2 TCP/IP (type argument minus one);
// -1 until the first Startup_Channels. Written by Startup_Channels (and by
// test fakes); read across threads with platform::Load.
extern int GInterface;

// The application's module path (program directory + executable name), set
// by the application (app/core/progdir.h) before the first Startup_Channels;
// device.ini is read from its folder. Null: no device.ini can be found.
struct InstanceHandle {
  char module_path[1024];
};
extern InstanceHandle* Instance_Handle;

// The main window; the channel layer posts nothing through it.
extern platform::HWND HandleForDriverToMainWindow;

// Serial settings read from the RS232C section.
struct SerialSettings {
  std::uint8_t port_index;   // COM1..COM4 -> 0..3
  std::uint8_t baud_code;    // 110..115200 -> 0..9
  std::uint8_t parity_code;  // NONE, EVEN, ODD -> 0..2
  std::uint8_t stop_code;    // 1, 1.5, 2 -> 0..2
  std::uint8_t data_code;    // data bits - 5
  // A device named in Port itself ("/dev/ttyUSB0"), used instead of the
  // COMn device; empty for COM1..COM4.
  char device[32];
};
extern SerialSettings GSerialSettings;

// Result codes of the channel layer itself.
enum ChannelResult : int {
  CH_BAD_ARGUMENT = -1,
  CH_BAD_PORT = -10,
  CH_BAD_BAUD = -11,
  CH_BAD_PARITY = -12,
  CH_BAD_STOP = -13,
  CH_BAD_DATA = -14,
  CH_BAD_IRQ = -15,
  CH_NO_INI = -16,
  CH_INI_ERROR = -17,
  CH_BAD_TYPE = -28,
  CH_SERIAL_KEYS = -29,
  CH_NO_INTERFACE = -30,
  // Every entry of a driver that this build does not contain yet answers
  // with this (Startup_Channels passes it on as it is).
  CH_NO_DRIVER = -31,
};

// Selects the interface by type (1 RS-232C, 2 SCSI, 3 TCP/IP) and reads
// device.ini from Instance_Handle's folder (no handle or no file:
// CH_NO_INI). The file must hold the letters "IF" somewhere (else
// CH_INI_ERROR, even for a bad type); only then is the type checked
// (CH_BAD_TYPE). The IF line's value does not choose the interface. Then the
// interface's section ([RS232C], [SCSI], [ETHERNET], name case-sensitive)
// must exist and hold known keys only (CH_INI_ERROR). RS-232C needs five
// different serial keys (CH_SERIAL_KEYS) with accepted values (CH_BAD_PORT
// .. CH_BAD_IRQ) and fills GSerialSettings; SCANTIME writes GScanTime
// (500..30000 ms). Then the driver's init runs: its negative result is
// returned, any other gives 0. GInterface is set once the type is known and
// stays set on a later failure, as does a SCANTIME already read. Call it
// before any other channel operation, from one thread; again only after
// Reset_Channels.
int Startup_Channels(int type);
// Listening channel (> 0) of the selected driver; CH_NO_INTERFACE when none.
int Open();
// TCP/IP only (the driver's result); 0 without effect on the other interfaces.
int Bind(int channel, int arg);
int Connect(int channel, int arg);
// CH_BAD_ARGUMENT for channel <= 0 or backlog outside 1..maximum (1 RS-232C,
// 7 SCSI, 255 TCP/IP); else the driver's poll result (contract above).
int Listen(int channel, int backlog);
// CH_BAD_ARGUMENT for channel <= 0; else the driver's new channel.
int Accept(int channel);
// CH_BAD_ARGUMENT for channel <= 0, null data or length 0, without calling
// the driver; else the driver's result. The caller owns data.
long Send(int channel, unsigned char* data, unsigned short length);
long Recv(int channel, unsigned char* data, unsigned short length, int flags);
// CH_BAD_ARGUMENT for channel <= 0; else the driver's result.
int Close(int channel, unsigned char mode);
// Ends every channel of the interface and releases the driver.
int Reset_Channels();
// TCP/IP only (the driver's result); 0 without effect on the other interfaces.
int HandShake_Accept(int channel);
int HandShake_Connect(int channel);
// Argument checks come first; an operation that passes them while GInterface
// selects no interface returns CH_NO_INTERFACE (Bind, Connect and the
// handshakes 0).

// Driver entry points as the dispatcher calls them. Lengths are widened to
// 32 bits here. Tests install a recording table with Set_Channel_Driver.
struct ChannelDriver {
  int (*init)();
  int (*open)();
  int (*bind)(int channel, int arg);
  int (*connect)(int channel, int arg);
  int (*listen)(int channel, int backlog);
  int (*accept)(int channel);
  long (*send)(int channel, unsigned char* data, std::uint32_t length);
  long (*recv)(int channel, unsigned char* data, std::uint32_t length, int flags);
  int (*close)(int channel, unsigned char mode);
  int (*reset)();
  int (*handshake_accept)(int channel);
  int (*handshake_connect)(int channel);
};

// Diagnostic texts of the RS-232C driver: why the port could not be opened
// (once per reason, not once per retry) and the line errors that end a
// transfer ("COM1 <CE-8>"). hook(text, context) runs on the engine's thread;
// null drops the texts (the default). Set it before the link starts.
using SerialTraceHook = void (*)(const char* text, void* context);
void Set_Serial_Trace(SerialTraceHook hook, void* context);

// A stopping RS-232C link must not wait for a silent terminal. While
// stopping is set, the driver's waits give up within one wait slice
// (100 ms): Accept as without DSR, a send that has to wait for CTS or for
// room and a blocking receive that has to wait for more bytes as their time
// limits would (-5); what has arrived is still taken and what fits is still
// written. Close gives the HT half a second instead of eleven to drop its
// line. Any thread; the link manager sets it when it stops the line and
// clears it when it starts one.
void Set_Serial_Stopping(bool stopping);

// Replaces the driver table of interface gi (0..2); null restores the built-in
// one. Returns the previous table. For tests and simulators.
const ChannelDriver* Set_Channel_Driver(int gi, const ChannelDriver* driver);
