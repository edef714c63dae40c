// The table of ending and error codes: one entry per code, numbered by its
// position. Each entry carries the two protocol bytes by which the code
// travels in an end indication (error class, detail) and its message text.
// The texts are shown to the operator and written to the error log exactly
// as they stand here (entry 77 keeps its trailing blank).
#include "engine/rox32.h"

const ErrorEntry ErrorTable[ERROR_COUNT] = {
    // class, detail, message
    {0x00, 0x00, "Normal Ending"},  // 0
    {0xDC, 0x00, "A Drive Format Notice"},  // 1
    {0xDD, 0x00, "B Drive Format Notice"},  // 2
    {0xDE, 0x00, "C Drive Format Notice"},  // 3
    {0xDF, 0x00, "D Drive Format Notice"},  // 4
    {0xE0, 0x00, "E Drive Format Notice"},  // 5
    {0xE1, 0x00, "F Drive Format Notice"},  // 6
    {0xE2, 0x00, "G Drive Format Notice"},  // 7
    {0xE3, 0x00, "H Drive Format Notice"},  // 8
    {0xE4, 0x00, "I Drive Format Notice"},  // 9
    {0xE5, 0x00, "J Drive Format Notice"},  // 10
    {0xE6, 0x00, "K Drive Format Notice"},  // 11
    {0xE7, 0x00, "L Drive Format Notice"},  // 12
    {0xE8, 0x00, "M Drive Format Notice"},  // 13
    {0xE9, 0x00, "N Drive Format Notice"},  // 14
    {0xEA, 0x00, "O Drive Format Notice"},  // 15
    {0xEB, 0x00, "P Drive Format Notice"},  // 16
    {0xEC, 0x00, "Q Drive Format Notice"},  // 17
    {0xED, 0x00, "R Drive Format Notice"},  // 18
    {0xEE, 0x00, "S Drive Format Notice"},  // 19
    {0xEF, 0x00, "T Drive Format Notice"},  // 20
    {0xF0, 0x00, "U Drive Format Notice"},  // 21
    {0xF1, 0x00, "V Drive Format Notice"},  // 22
    {0xF2, 0x00, "W Drive Format Notice"},  // 23
    {0xF3, 0x00, "X Drive Format Notice"},  // 24
    {0xF4, 0x00, "Y Drive Format Notice"},  // 25
    {0xF5, 0x00, "Z Drive Format Notice"},  // 26
    {0xF6, 0x00, "Power Off Ending Notice"},  // 27
    {0xF7, 0x00, "Reset Ending Notice"},  // 28
    {0xF8, 0x00, "Break Key Interrupt Ending Notice"},  // 29
    {0x01, 0x00, "Undefine Function Code"},  // 30
    {0x01, 0x01, "Undefine Sub Function Code"},  // 31
    {0x01, 0x02, "Not Execute Command"},  // 32
    {0x01, 0x03, "Check Sum Error"},  // 33
    {0x01, 0x04, "Command Sequence Error"},  // 34
    {0x01, 0x05, "Sequence Number Error"},  // 35
    {0x01, 0x06, "Other Protocol Error"},  // 36
    {0x01, 0x07, "Parameter Error"},  // 37
    {0x01, 0x08, "Timeout Error"},  // 38
    {0x01, 0x10, "Data Length Error"},  // 39
    {0x01, 0x12, "Protocol Version Difference Error"},  // 40
    {0x01, 0x13, "Memory Allocation Error"},  // 41
    {0x01, 0x15, "File Size Error"},  // 42
    {0x01, 0x17, "Date Error"},  // 43
    {0x01, 0x18, "Time Error"},  // 44
    {0x01, 0x19, "File Attribute Error"},  // 45
    {0x01, 0x1A, "Overwrite Option Error"},  // 46
    {0x01, 0x1B, "EOF Flag Error"},  // 47
    {0x02, 0x02, "File Not Found"},  // 48
    {0x02, 0x03, "Path Not Found"},  // 49
    {0x02, 0x0B, "Invalid Format"},  // 50
    {0x02, 0x0F, "Invalid Disk Drive"},  // 51
    {0x02, 0x10, "Delete Request is Current Directory"},  // 52
    {0x02, 0x11, "Not Same Disk"},  // 53
    {0x02, 0x12, "File Nothing"},  // 54
    {0x03, 0x13, "Write Protect Error"},  // 55
    {0x03, 0x14, "Unknown Unit"},  // 56
    {0x03, 0x15, "Drive Not Ready"},  // 57
    {0x03, 0x17, "Data Error"},  // 58
    {0x03, 0x19, "Seek Error"},  // 59
    {0x03, 0x1A, "Unknown Disk Format"},  // 60
    {0x03, 0x1B, "Sector Not Found"},  // 61
    {0x03, 0x1D, "Write Error"},  // 62
    {0x03, 0x1E, "Read Error"},  // 63
    {0x03, 0x1F, "Unknown Error"},  // 64
    {0x03, 0x20, "File Share Error"},  // 65
    {0x03, 0x21, "File Lock Error"},  // 66
    {0x03, 0x22, "Invalid Disk Changed"},  // 67
    {0x03, 0x23, "FCB Full"},  // 68
    {0x03, 0x53, "Fatal Error"},  // 69
    {0x04, 0x00, "Read Only File Access Error"},  // 70
    {0x05, 0x00, "Communication Error"},  // 71
    {0x05, 0x01, "End Indication from HT"},  // 72
    {0x05, 0x02, "PC Sends End Indication"},  // 73
    {0x05, 0x03, "Spawn Error"},  // 74
    {0x05, 0x04, "Command Timout Error"},  // 75
    {0x05, 0x05, "Error Opening ErrorLog File"},  // 76
    {0x05, 0x06, "Option Error "},  // 77
    {0x05, 0x07, "Startup Error"},  // 78
    {0x05, 0x08, "Open Error"},  // 79
    {0x05, 0x09, "Listen Error"},  // 80
    {0x05, 0x0A, "Accept Error"},  // 81
    {0x05, 0x0B, "Not Enough Memory To Execute Process"},  // 82
    {0x05, 0x0C, "Argument List Too Large For The Process"},  // 83
    {0x05, 0x0D, "Invalid Mode For The Process"},  // 84
    {0x05, 0x0E, "Process Terminated Normally"},  // 85
    {0x05, 0x0F, "Noise Error"},  // 86
    {0x05, 0x10, "Iobox hangup, Please reset Iobox 1"},  // 87
    {0x05, 0x11, "Iobox hangup, Please reset Iobox 2"},  // 88
    {0x05, 0x12, "Iobox hangup, Please reset Iobox 3"},  // 89
    {0x05, 0x13, "Iobox hangup, Please reset Iobox 4"},  // 90
    {0x05, 0x14, "Iobox hangup, Please reset Iobox 5"},  // 91
    {0x05, 0x15, "Iobox hangup, Please reset Iobox 6"},  // 92
    {0x05, 0x16, "Iobox hangup, Please reset Iobox 7"},  // 93
    {0x05, 0x17, "Iobox hangup"},  // 94
    {0x05, 0x18, "Iobox reset, Please wait for 15 seconds"},  // 95
    {0x05, 0x19, "Bind Error"},  // 96
    {0x05, 0x1A, "Script File Too Big"},  // 97
    {0xF5, 0x01, "Child Process Error 1"},  // 98
    {0xF5, 0x02, "Child Process Error 2"},  // 99
    {0xF5, 0x03, "Child Process Error 3"},  // 100
    {0xF5, 0x04, "Child Process Error 4"},  // 101
    {0xF5, 0x05, "Child Process Error 5"},  // 102
    {0xF5, 0x06, "Child Process Error 6"},  // 103
    {0xF5, 0x07, "Child Process Error 7"},  // 104
    {0xF5, 0x08, "Child Process Error 8"},  // 105
    {0xF5, 0x09, "Child Process Error 9"},  // 106
    {0xF5, 0x0A, "Child Process Error 10"},  // 107
    {0x05, 0x1B, "File Being Accessed"},  // 108
};
