/*
 * Orvi device protocol over hidapi. Requests are 64-byte output reports written with the
 * report ID 0 in front; only the open request and the ready query are answered.
 */
#include "device/orvi_device.h"

#include <atomic>
#include <mutex>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

#define ORVI_MARKER_0 0xDB
#define ORVI_MARKER_1 0x03
#define ORVI_PAYLOAD_OFFSET 9
#define ORVI_PAYLOAD_SIZE 56

#define ORVI_MCU_CHUNK 56
#define ORVI_DSP_CHUNK 54
#define ORVI_SECTOR_SIZE 65536
#define ORVI_SECTOR_LAST_CHUNK 16

#define ORVI_STYLES_MAX_SECTORS 32
#define ORVI_ENSEMBLE_MAX_SECTORS_ORIG 80
#define ORVI_ENSEMBLE_MAX_SECTORS_PLUS 208
#define ORVI_TERMINATOR_MIN_DSP 0x0100

#define ORVI_READY_ECHO 0x0B

/* Held around every hidapi call that touches its process-wide state (see the header). */
static std::mutex hidGlobalLock;

/* The device writes a sector to flash in 2.1 s; only tests shorten this. */
static std::atomic<long> sectorWaitNs{2100000000L};

void orviSetSectorWaitForTesting(long nanoseconds)
{
    sectorWaitNs.store(nanoseconds < 0 ? 0 : nanoseconds);
}

static void putWord(unsigned char* bytes, unsigned int value)
{
    bytes[0] = (unsigned char)(value & 0xFF);
    bytes[1] = (unsigned char)((value >> 8) & 0xFF);
}

static unsigned int getWord(const unsigned char* bytes)
{
    return (unsigned int)bytes[0] | ((unsigned int)bytes[1] << 8);
}

static void setFrameHeader(OrviDevice* device, unsigned int command, unsigned int length)
{
    device->output[1] = ORVI_MARKER_0;
    device->output[2] = ORVI_MARKER_1;
    putWord(device->output + 3, command);
    putWord(device->output + 5, length);
}

static int writeOutput(OrviDevice* device)
{
    return hid_write(device->hid, device->output, ORVI_OUTPUT_SIZE);
}

/* Writes the request with the next sequence number; the counter moves only on success. */
static int writeCounted(OrviDevice* device)
{
    putWord(device->output + 7, device->nextSequence);
    if (writeOutput(device) == -1)
        return -1;
    device->lastSequence = device->nextSequence;
    device->nextSequence = device->nextSequence == 0xFFFF ? 0 : device->nextSequence + 1;
    return 0;
}

/* A short reply must not be read together with the bytes of an earlier one. */
static int readReply(OrviDevice* device, unsigned int timeoutMs)
{
    memset(device->input, 0, sizeof device->input);
    int milliseconds = timeoutMs > (unsigned int)INT_MAX ? INT_MAX : (int)timeoutMs;
    int count = hid_read_timeout(device->hid, device->input, ORVI_REPORT_SIZE, milliseconds);
    if (count == -1)
        return ORVI_ERR_READ;
    if (count == 0)
        return ORVI_ERR_TIMEOUT;
    return ORVI_OK;
}

static int callProgress(const OrviProgress* progress, double fraction, long total)
{
    if (progress == NULL || progress->callback == NULL)
        return 0;
    if (fraction > 1.0)
        fraction = 1.0;
    return progress->callback((float)fraction, total, progress->userData);
}

/* Share of a file sent; the whole of an empty file counts as sent. */
static double shareOf(double done, long size)
{
    return size > 0 ? done / (double)size : 1.0;
}

static void decodeHeader(OrviDevice* device)
{
    const unsigned char* reply = device->input;
    unsigned int dspWord = getWord(reply + 18);
    unsigned int mcuWord = getWord(reply + 20);
    OrviHeader* header = &device->header;

    header->ensembleVersion = (uint32_t)reply[10] | ((uint32_t)reply[11] << 8)
        | ((uint32_t)reply[12] << 16) | ((uint32_t)reply[14] << 24);
    header->stylesVersion = (uint16_t)getWord(reply + 15);
    header->auxWord = (uint16_t)getWord(reply + 22);

    if (device->model == ORVI_MODEL_ORIG) {
        header->mcuVersion = (uint16_t)(mcuWord | 0x0300);
        header->dspVersion = (uint16_t)(dspWord | 0x0300);
        return;
    }
    header->mcuVersion = (uint16_t)mcuWord;
    if (mcuWord <= 0x0064) {
        /* Early Orvi+ firmware packs the DSP version into byte 18 alone. */
        unsigned int packed = reply[18];
        unsigned int stage = ((packed >> 3) & 1) | ((packed >> 6) & 2);
        header->dspVersion = (uint16_t)((packed & 0x77) | (stage << 8));
    } else {
        header->dspVersion = (uint16_t)dspWord;
    }
}

static int checkHeaderReply(const OrviDevice* device)
{
    const unsigned char* reply = device->input;
    if (reply[0] != ORVI_MARKER_0 || reply[1] != ORVI_MARKER_1)
        return ORVI_ERR_BAD_MARKER;
    if (reply[2] != 0x09 || reply[3] != 0x00)
        return ORVI_ERR_BAD_REPLY_CODE;
    unsigned int count = getWord(reply + 5);
    if (count != 0) {
        printf("bytes: %d\n", (int)count);
        fflush(stdout);
        return ORVI_ERR_COUNT;
    }
    return ORVI_OK;
}

static int shakeHands(OrviDevice* device, unsigned int timeoutMs)
{
    setFrameHeader(device, ORVI_CMD_OPEN, 0);
    if (writeCounted(device) == -1)
        return ORVI_ERR_WRITE;
    int result = readReply(device, timeoutMs);
    if (result != ORVI_OK)
        return result;
    result = checkHeaderReply(device);
    if (result != ORVI_OK)
        return result;
    decodeHeader(device);
    return ORVI_OK;
}

struct hid_device_info* orviEnumerate(void)
{
    std::lock_guard<std::mutex> lock(hidGlobalLock);
    return hid_enumerate(ORVI_VENDOR_ID, 0);
}

void orviFreeEnumeration(struct hid_device_info* devices)
{
    std::lock_guard<std::mutex> lock(hidGlobalLock);
    hid_free_enumeration(devices);
}

/* hidapi says why an open failed only in its error text; the errno of the failed open(2) is
 * what tells a node the user may not open from one that is gone or broken. */
static hid_device* openPath(const char* path, int* result)
{
    std::lock_guard<std::mutex> lock(hidGlobalLock);
    errno = 0;
    hid_device* hid = hid_open_path(path);
    if (hid == NULL)
        *result = errno == EACCES || errno == EPERM ? ORVI_ERR_ACCESS : ORVI_ERR_OPEN;
    return hid;
}

OrviDevice* orviOpen(const char* path, int model, unsigned int timeoutMs, unsigned int* error)
{
    int openResult = ORVI_ERR_OPEN;
    hid_device* hid = path != NULL ? openPath(path, &openResult) : NULL;
    if (hid == NULL) {
        if (error != NULL)
            *error = (unsigned int)openResult;
        return NULL;
    }
    OrviDevice* device = (OrviDevice*)calloc(1, sizeof(OrviDevice));
    if (device == NULL) {
        hid_close(hid);
        if (error != NULL)
            *error = ORVI_ERR_OPEN;
        return NULL;
    }
    device->hid = hid;
    device->model = model;

    int result = shakeHands(device, timeoutMs);
    if (result != ORVI_OK) {
        orviClose(device);
        if (error != NULL)
            *error = (unsigned int)result;
        return NULL;
    }
    return device;
}

void orviClose(OrviDevice* device)
{
    if (device == NULL)
        return;
    hid_close(device->hid);
    free(device);
}

int orviCheckAttached(OrviDevice* device)
{
    return hid_read_timeout(device->hid, device->input, ORVI_REPORT_SIZE, 0) == -1 ? ORVI_ERR_READ : ORVI_OK;
}

void orviGetHeader(const OrviDevice* device, OrviHeader* header)
{
    if (device == NULL || header == NULL)
        return;
    *header = device->header;
}

int orviCheckReadyForUpdate(OrviDevice* device, unsigned int timeoutMs, unsigned int* ready)
{
    memset(device->output, 0, sizeof device->output);
    setFrameHeader(device, ORVI_CMD_READY_QUERY, 3);
    device->output[ORVI_PAYLOAD_OFFSET] = ORVI_READY_ECHO;
    if (writeOutput(device) == -1)
        return ORVI_ERR_WRITE;
    int result = readReply(device, timeoutMs);
    if (result != ORVI_OK)
        return result;
    if (device->input[2] != 0x13 || device->input[8] != ORVI_READY_ECHO)
        return ORVI_ERR_BAD_READY_REPLY;
    *ready = device->input[10];
    return ORVI_OK;
}

/* Opens a file to send and takes its size. Only a regular file has a size to send: a
 * directory may open but reads nothing and would go out as an empty image. */
static FILE* openForSending(const char* path, const char* mode, long* size)
{
    FILE* file = path != NULL ? fopen(path, mode) : NULL;
    if (file != NULL) {
        struct stat status;
        if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode)
            && fseek(file, 0, SEEK_END) == 0 && (*size = ftell(file)) >= 0) {
            rewind(file);
            return file;
        }
        fclose(file);
    }
    puts("Failed to open file.");
    fflush(stdout);
    return NULL;
}

/* The end packet closes a firmware image: the number of its last data packet and the XOR. */
static int writeEndPacket(OrviDevice* device, unsigned int command, unsigned char checksum)
{
    memset(device->output, 0, sizeof device->output);
    setFrameHeader(device, command, 0);
    putWord(device->output + 7, device->lastSequence);
    device->output[ORVI_PAYLOAD_OFFSET] = checksum;
    return writeOutput(device) == -1 ? ORVI_ERR_WRITE : ORVI_OK;
}

/* Firmware progress as the two transfers print it; they differ only in the unit's spelling. */
typedef struct FirmwareLog {
    const char* unit;
    uint64_t sentAtLastLine;
} FirmwareLog;

/*
 * Writes the data packet built in output, reports progress and prints a line per KiB sent.
 * Returns ORVI_OK to go on, or the code that ends the transfer.
 */
static int sendFirmwarePacket(OrviDevice* device, const OrviProgress* progress, double fraction,
                              long total, uint64_t sent, FirmwareLog* log)
{
    if (writeCounted(device) == -1) {
        puts("Failed to send packet.");
        return ORVI_ERR_WRITE;
    }
    int stop = callProgress(progress, fraction, total);
    if (sent >= log->sentAtLastLine + 1024) {
        printf("Sent: %ld %s\n", (long)(sent / 1024), log->unit);
        fflush(stdout);
        log->sentAtLastLine = sent;
    }
    if (stop) {
        puts("Interrupted!");
        return ORVI_ERR_INTERRUPTED;
    }
    return ORVI_OK;
}

/* Totals, then the end packet only for an image that went out whole. */
static int finishFirmware(OrviDevice* device, unsigned int endCommand, unsigned char checksum,
                          uint64_t sent, const FirmwareLog* log, int result)
{
    printf("Total sent: %ld %s\n", (long)(sent / 1024), log->unit);
    printf("Checksum: %X\n", (unsigned int)checksum);
    if (result == ORVI_OK) {
        result = writeEndPacket(device, endCommand, checksum);
        puts("Sent end packet.");
    }
    return result;
}

int orviSendMicroFW(OrviDevice* device, const char* path, const OrviProgress* progress)
{
    printf("Sending Micro FW: %s\n", path != NULL ? path : "");
    fflush(stdout);
    long size = 0;
    FILE* file = openForSending(path, "rb", &size);
    if (file == NULL)
        return ORVI_ERR_FILE_OPEN;

    unsigned char* payload = device->output + ORVI_PAYLOAD_OFFSET;
    unsigned char checksum = 0;
    uint64_t sent = 0;
    FirmwareLog log = {"kb", 0};
    int endOfFile = 0;
    int result = ORVI_OK;

    memset(device->output, 0, sizeof device->output);
    setFrameHeader(device, ORVI_CMD_MCU_DATA, ORVI_MCU_CHUNK);
    while (!endOfFile) {
        size_t count = fread(payload, 1, ORVI_MCU_CHUNK, file);
        for (size_t i = 0; i < count; ++i)
            checksum ^= payload[i];
        sent += count;
        if (count < ORVI_MCU_CHUNK) {
            if (ferror(file)) {
                /* A short image must never be closed with a valid end packet. */
                puts("Failed to read file.");
                result = ORVI_ERR_FILE_OPEN;
                break;
            }
            puts("EOF.");
            endOfFile = 1;
            memset(payload + count, 0, ORVI_MCU_CHUNK - count);
        }
        result = sendFirmwarePacket(device, progress, shareOf((double)sent, size), size, sent, &log);
        if (result != ORVI_OK)
            break;
    }

    result = finishFirmware(device, ORVI_CMD_MCU_END, checksum, sent, &log, result);
    fclose(file);
    puts("Done sending micro firmware.");
    fflush(stdout);
    return result;
}

/*
 * The DSP text, read a block at a time and its lines taken where they lie: the text is five
 * times the size of the image, so what each character costs decides what the transfer costs.
 */
typedef struct DspText {
    FILE* file;
    char* block;
    size_t start;
    size_t end;
} DspText;

/*
 * The next line as fgets with a buffer of capacity + 1 would read it: up to capacity
 * characters, through the line end. Returns its length; 0 at the end of the file or after a
 * read error (ferror tells which).
 */
static size_t nextDspLine(DspText* text, size_t capacity, const char** line)
{
    if (text->end - text->start < capacity) {
        size_t kept = text->end - text->start;
        memmove(text->block, text->block + text->start, kept);
        text->start = 0;
        text->end = kept + fread(text->block + kept, 1, ORVI_SECTOR_SIZE - kept, text->file);
    }
    const char* begin = text->block + text->start;
    size_t available = text->end - text->start;
    size_t limit = available < capacity ? available : capacity;
    size_t length = 0;
    /* Nearly every line is "0xHH" and its end. */
    if (limit >= 5 && begin[4] == '\n' && begin[0] != '\n' && begin[1] != '\n' && begin[2] != '\n'
        && begin[3] != '\n') {
        length = 5;
    } else {
        while (length < limit && begin[length++] != '\n') {
        }
    }
    text->start += length;
    *line = begin;
    return length;
}

/* Counts the lines of a DSP file as the sender reads them; leaves the file rewound. */
static long countDspLines(DspText* text)
{
    const char* line;
    long lines = 0;
    while (nextDspLine(text, 9, &line) > 0)
        ++lines;
    rewind(text->file);
    text->start = text->end = 0;
    return lines;
}

/* Value of each character as a hexadecimal digit, -1 for anything else. */
static const signed char hexDigitValue[256] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, -1, -1, -1, -1, -1,
    -1, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

/*
 * One DSP line: "0x" and a hexadecimal byte. Returns the value, or -1 for a bad line; a line
 * with no digit after the prefix would otherwise put a 0 into the image that nobody wrote.
 */
static int parseDspLine(const char* line, size_t length)
{
    if (length < 3 || line[0] != '0' || line[1] != 'x' || hexDigitValue[(unsigned char)line[2]] < 0)
        return -1;
    unsigned int value = 0;
    for (size_t i = 2; i < length && hexDigitValue[(unsigned char)line[i]] >= 0; ++i)
        value = value * 16 + (unsigned int)hexDigitValue[(unsigned char)line[i]];
    return value < 256 ? (int)value : -1;
}

int orviSendDspFW(OrviDevice* device, const char* path, const OrviProgress* progress)
{
    printf("Sending DSP FW: %s\n", path != NULL ? path : "");
    fflush(stdout);
    long size = 0;
    FILE* file = openForSending(path, "r", &size);
    if (file == NULL)
        return ORVI_ERR_FILE_OPEN;
    DspText text = {file, (char*)malloc(ORVI_SECTOR_SIZE), 0, 0};
    if (text.block == NULL) {
        fclose(file);
        return ORVI_ERR_FILE_OPEN;
    }
    long lines = countDspLines(&text);

    unsigned char* payload = device->output + ORVI_PAYLOAD_OFFSET;
    unsigned char checksum = 0;
    uint64_t sent = 0;
    FirmwareLog log = {"Kb", 0};
    long position = 0;
    int endOfFile = 0;
    int result = ORVI_OK;

    memset(device->output, 0, sizeof device->output);
    setFrameHeader(device, ORVI_CMD_DSP_DATA, ORVI_DSP_CHUNK);
    while (!endOfFile && result == ORVI_OK) {
        int count = 0;
        while (count < ORVI_DSP_CHUNK) {
            const char* line;
            size_t length = nextDspLine(&text, 8, &line);
            if (length == 0) {
                if (ferror(file)) {
                    puts("Failed to read file.");
                    result = ORVI_ERR_FILE_OPEN;
                } else {
                    puts("EOF.");
                    endOfFile = 1;
                }
                break;
            }
            position += (long)length;
            int value = parseDspLine(line, length);
            if (value < 0) {
                result = ORVI_ERR_BAD_FILE;
                break;
            }
            payload[count++] = (unsigned char)value;
            checksum ^= (unsigned char)value;
        }
        sent += (uint64_t)count;
        if (result != ORVI_OK)
            break;
        if (endOfFile)
            memset(payload + count, 0, (size_t)(ORVI_DSP_CHUNK - count));
        result = sendFirmwarePacket(device, progress, shareOf((double)position, size), lines, sent, &log);
    }

    result = finishFirmware(device, ORVI_CMD_DSP_END, checksum, sent, &log, result);
    free(text.block);
    fclose(file);
    puts("Done sending DSP firmware.");
    fflush(stdout);
    return result;
}

static void waitForSectorWrite(void)
{
    long nanoseconds = sectorWaitNs.load();
    struct timespec wait;
    struct timespec remaining;
    wait.tv_sec = nanoseconds / 1000000000L;
    wait.tv_nsec = nanoseconds % 1000000000L;
    while (nanosleep(&wait, &remaining) == -1 && errno == EINTR)
        wait = remaining;
}

/*
 * A sector always goes out as 65536 bytes' worth of packets, zero-filled past its data, and
 * the device needs the fixed wait afterwards to write it to flash.
 */
static int orviSendSector(OrviDevice* device, int command, const unsigned char* data,
                          int dataLength, long sentBefore, long fileSize,
                          const OrviProgress* progress)
{
    int remaining = ORVI_SECTOR_SIZE;
    int position = 0;
    int lastTenth = 10;
    int result = ORVI_OK;

    printf("Progress: ");
    fflush(stdout);
    while (remaining > 0) {
        int chunk = remaining < ORVI_PAYLOAD_SIZE ? remaining : ORVI_PAYLOAD_SIZE;
        memset(device->output, 0, sizeof device->output);
        setFrameHeader(device, (unsigned int)command, (unsigned int)chunk);
        if (position < dataLength) {
            int count = dataLength - position < chunk ? dataLength - position : chunk;
            memcpy(device->output + ORVI_PAYLOAD_OFFSET, data + position, (size_t)count);
            position += count;
        }
        if (writeCounted(device) == -1) {
            printf("Error writing packet.");
            result = ORVI_ERR_WRITE;
            break;
        }
        if (callProgress(progress, shareOf((double)(sentBefore + position), fileSize), fileSize)) {
            printf("Interrupted!");
            result = ORVI_ERR_INTERRUPTED;
            break;
        }
        remaining -= chunk;
        int tenth = (int)((long)remaining * 10 / ORVI_SECTOR_SIZE);
        if (tenth < lastTenth) {
            printf(".");
            fflush(stdout);
            lastTenth = tenth;
        }
    }
    printf("\n");
    fflush(stdout);
    if (result != ORVI_OK)
        return result;

    puts("Sector sent. Waiting to be written...");
    fflush(stdout);
    waitForSectorWrite();
    return ORVI_OK;
}

static int sectorCountOf(long size)
{
    return (int)ceilf((float)size / (float)ORVI_SECTOR_SIZE);
}

static unsigned int styleWordsXor(const unsigned char* data, size_t length)
{
    unsigned int checksum = 0;
    for (size_t i = 0; i < length; i += 2) {
        unsigned int word = data[i];
        if (i + 1 < length)
            word |= (unsigned int)data[i + 1] << 8;
        checksum ^= word;
    }
    return checksum;
}

static uint32_t ensembleWordsXor(const unsigned char* data, size_t length)
{
    uint32_t checksum = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t word = 0;
        for (size_t k = 0; k < 4 && i + k < length; ++k)
            word |= (uint32_t)data[i + k] << (8 * k);
        checksum ^= word;
    }
    return checksum;
}

static int writeTerminatingPacket(OrviDevice* device)
{
    puts("Sending terminating packet...");
    fflush(stdout);
    memset(device->output, 0, sizeof device->output);
    setFrameHeader(device, ORVI_CMD_TERMINATE, 0);
    return writeOutput(device) == -1 ? ORVI_ERR_WRITE : ORVI_OK;
}

typedef struct ContentTransfer {
    int command;
    int sectorCount;
    long size;
    long sent;
    uint32_t checksum;
} ContentTransfer;

/* Streams the file sector by sector; the checksum rule is the content type's own. */
static int sendSectors(OrviDevice* device, FILE* file, ContentTransfer* transfer,
                       const OrviProgress* progress)
{
    unsigned char* buffer = (unsigned char*)malloc(ORVI_SECTOR_SIZE);
    if (buffer == NULL)
        return ORVI_ERR_FILE_OPEN;
    int sector = 0;
    int result = ORVI_OK;
    for (;;) {
        size_t count = fread(buffer, 1, ORVI_SECTOR_SIZE, file);
        printf("Read sector: %d bytes\n", (int)count);
        int endOfFile = 0;
        if (count < ORVI_SECTOR_SIZE) {
            if (ferror(file)) {
                puts("Failed to read file.");
                result = ORVI_ERR_FILE_OPEN;
                break;
            }
            puts("EOF");
            endOfFile = 1;
            if (count == 0)
                break;
        }
        ++sector;
        printf("Sending sector %d/%d...\n", sector, transfer->sectorCount);
        fflush(stdout);
        if (transfer->command == ORVI_CMD_STYLES_DATA)
            transfer->checksum ^= styleWordsXor(buffer, count);
        else
            transfer->checksum ^= ensembleWordsXor(buffer, count);
        result = orviSendSector(device, transfer->command, buffer, (int)count, transfer->sent,
                                transfer->size, progress);
        if (result != ORVI_OK)
            break;
        printf("Sector %d/%d written.\n", sector, transfer->sectorCount);
        fflush(stdout);
        transfer->sent += (long)count;
        if (endOfFile)
            break;
    }
    fflush(stdout);
    free(buffer);
    return result;
}

int orviSendStyles(OrviDevice* device, const char* path, const OrviProgress* progress)
{
    printf("Sending styles: %s\n", path != NULL ? path : "");
    fflush(stdout);
    if (device->model != ORVI_MODEL_PLUS) {
        puts("Not supported.");
        fflush(stdout);
        return ORVI_ERR_NOT_SUPPORTED;
    }
    ContentTransfer transfer = {ORVI_CMD_STYLES_DATA, 0, 0, 0, 0};
    FILE* file = openForSending(path, "rb", &transfer.size);
    if (file == NULL)
        return ORVI_ERR_FILE_OPEN;
    transfer.sectorCount = sectorCountOf(transfer.size);
    if (transfer.sectorCount > ORVI_STYLES_MAX_SECTORS) {
        puts("Style data too big for flash.");
        fflush(stdout);
        fclose(file);
        return ORVI_ERR_TOO_BIG;
    }

    int result = sendSectors(device, file, &transfer, progress);
    if (result == ORVI_OK && device->header.dspVersion >= ORVI_TERMINATOR_MIN_DSP)
        result = writeTerminatingPacket(device);
    fclose(file);
    if (result != ORVI_OK)
        return result;
    printf("Total Kb written: %d\n", (int)(transfer.sent / 1024));
    printf("Checksum = %4.4X\n", (unsigned int)transfer.checksum);
    fflush(stdout);
    return ORVI_OK;
}

int orviSendEnsemble(OrviDevice* device, const char* path, const OrviProgress* progress)
{
    printf("Sending ensemble audio: %s\n", path != NULL ? path : "");
    fflush(stdout);
    ContentTransfer transfer = {ORVI_CMD_ENSEMBLE_DATA, 0, 0, 0, 0};
    FILE* file = openForSending(path, "rb", &transfer.size);
    if (file == NULL)
        return ORVI_ERR_FILE_OPEN;
    transfer.sectorCount = sectorCountOf(transfer.size);
    int limit = device->model == ORVI_MODEL_PLUS ? ORVI_ENSEMBLE_MAX_SECTORS_PLUS
                                                 : ORVI_ENSEMBLE_MAX_SECTORS_ORIG;
    if (transfer.sectorCount > limit) {
        puts("Ensemble audio data too big for this device.");
        fflush(stdout);
        fclose(file);
        return ORVI_ERR_TOO_BIG;
    }

    int result = sendSectors(device, file, &transfer, progress);
    if (result == ORVI_OK && device->model == ORVI_MODEL_PLUS
        && device->header.dspVersion >= ORVI_TERMINATOR_MIN_DSP)
        result = writeTerminatingPacket(device);
    fclose(file);
    if (result != ORVI_OK)
        return result;
    printf("Total Kb written: %d\n", (int)(transfer.sent / 1024));
    printf("Checksum = %8.8X\n", (unsigned int)transfer.checksum);
    fflush(stdout);
    return ORVI_OK;
}
