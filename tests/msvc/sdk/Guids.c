/* The interface ids of the Windows SDK's uuid.lib that the test hosts use, for the stand-in uuid.lib. */
typedef struct Guid {
    unsigned long data1;
    unsigned short data2, data3;
    unsigned char data4[8];
} Guid;

const Guid IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const Guid IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
