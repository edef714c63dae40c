// Placeholders for the file transfer, to be replaced: transfer.cpp will
// define these members (contracts in rox32.h, section "File transfer"), and
// this file is deleted in the same change. Until then every transfer step
// answers 30 "Undefine Function Code", so a session that asks for a
// transfer ends with that code and its end indication instead of hanging.
#include "engine/rox32.h"

short RS232_ROX::File_Info_Tx_State_Process(int, char*) { return E_UNDEF_FUNCTION; }
short RS232_ROX::File_Data_Tx_State_Process(int) { return E_UNDEF_FUNCTION; }
short RS232_ROX::File_Info_Rx_State_Process(int, char*) { return E_UNDEF_FUNCTION; }
short RS232_ROX::File_Data_Rx_State_Process(int) { return E_UNDEF_FUNCTION; }

short RS232_ROX::Wait_HT_Sends_File(int) { return E_UNDEF_FUNCTION; }
short RS232_ROX::Wait_HT_Requests_Files(int) { return E_UNDEF_FUNCTION; }
short RS232_ROX::Wait_HT_Announces_Files(int) { return E_UNDEF_FUNCTION; }

short RS232_ROX::Idle_Send_One_File(int, const char*) { return E_UNDEF_FUNCTION; }
short RS232_ROX::Idle_Fetch_Files(int, const char*) { return E_UNDEF_FUNCTION; }
short RS232_ROX::Idle_Send_Files(int, const char*) { return E_UNDEF_FUNCTION; }
// Leaves *next alone.
short RS232_ROX::Idle_Update_Files(int, const char*, char**) { return E_UNDEF_FUNCTION; }
