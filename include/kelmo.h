/*
 * kelmo — acquisition-interface library.
 *
 * Every function below is a plain C export. On Windows the names are
 * undecorated and the calling convention is cdecl (the caller removes the
 * arguments); integers are 32 bits and doubles are passed by value.
 *
 * Results are 1 for success and 0 for failure unless a function says
 * otherwise. No C++ exception ever leaves the library.
 */
#ifndef KELMO_H
#define KELMO_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(KELMO_BUILDING) || defined(KELMO_STATIC)
#    define KELMO_API /* exported through kelmo.def */
#  else
#    define KELMO_API __declspec(dllimport)
#  endif
#  define KELMO_CALL __cdecl
#else
#  define KELMO_API __attribute__((visibility("default")))
#  define KELMO_CALL
#endif

/* The card type codes 831 .. 859 are aliases: every export takes them as
 * the code KELMO_ALIAS_OFFSET lower (801 .. 829). */
#define KELMO_FIRST_ALIAS_CODE 831
#define KELMO_LAST_ALIAS_CODE 859
#define KELMO_ALIAS_OFFSET 30

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * A/D parameter record, filled by GetADParameterEx. Little-endian, natural
 * alignment. The two list pointers at the end have the width of a pointer
 * of the process:
 *   32-bit builds: gainsOut at 880, freqsOut at 884, sizeof 888;
 *   64-bit builds: gainsOut at 880, freqsOut at 888, sizeof 896.
 * ---------------------------------------------------------------------- */
typedef struct AdParamRecord {
    int32_t channelCount;   /*   0 */
    int32_t gainCount;      /*   4 */
    int32_t freqCount;      /*   8 */
    int32_t auxCode;        /*  12 */
    int32_t flagA;          /*  16 */
    int32_t flagsB[7];      /*  20 */
    int32_t bytesPerSample; /*  48 */
    int32_t gap52;          /*  52: never written */
    double highFreq;        /*  56 */
    double lowFreq;         /*  64 */
    int32_t fullScale;      /*  72 */
    int32_t reservedZero;   /*  76 */
    uint8_t callerArea[800];/*  80: never touched by the library */
    double* gainsOut;       /* 880: receives the gain list when not null */
    double* freqsOut;       /* 880 + pointer size: frequency list as doubles */
} AdParamRecord;

/* ---- driver utilities ---------------------------------------------------- */
/* 1 on the NT family of Windows (and on every other system), else 2. */
KELMO_API int KELMO_CALL InitNTDriver(void);
/* Reads the 2-byte port status from the acquisition device "ZEB1". */
KELMO_API int KELMO_CALL GetPrintPortStatus(uint16_t* status);
/* Committed read-write memory for n samples: 4 bytes each for card types
 * 124, 747, 890, 891, 892, else 2. Returns 0 on failure. */
KELMO_API void* KELMO_CALL ZebAlloc(int cardType, uint32_t n);
/* Releases a block from ZebAlloc; non-zero on success. */
KELMO_API int KELMO_CALL ZebFree(void* address);

/* ---- conversion ------------------------------------------------------------ */
/* direction != 0: raw words -> engineering values; 0: the reverse.
 * maxIndex/minIndex may be null. Returns 1 when the block lies inside the
 * card type's range, 0 when it does not (or when a needed buffer is null). */
KELMO_API int KELMO_CALL convert(int cardType, double* values, void* raw, int n, int direction,
                                 int* maxIndex, int* minIndex);

/* ---- pre-sampling ---------------------------------------------------------- */
/* Sets the unit's acquisition mode (word 0 of "USB_samp"), which every
 * block export needs first, and for the simulated source (123, 124) and the
 * sound card (800) chooses the divider nearest `frequency` into *freqCode
 * and *actualFrequency (both required there; the cards behind the driver
 * leave them untouched). The simulated source takes a request below its
 * lowest rate, 0.001 Hz (also 0, a negative or a NaN request), as 0.001
 * Hz, one above its clock as the clock; the sound card takes every
 * request below 8000 Hz as 8000 Hz. */
KELMO_API int KELMO_CALL PreSamp(int cardType, double frequency, uint32_t* freqCode,
                                 double* actualFrequency);
/* Returns the acquisition mode (word 0 of "USB_samp"), 1 without the block. */
KELMO_API int KELMO_CALL GetFre(int cardType, uint32_t freqCode, double* frequency, int n);

/* ---- presence check ---------------------------------------------------------- */
/* Prepares the source: creates the unit's status block, restarts the
 * simulated noise and starts the signal-source program (GENWAVE) when its
 * parameter block is missing. text (131 bytes) receives the reason of a
 * failure, "" on success; *status is 1 when no sound card exists. For the
 * cards behind the driver it only creates the status block: every
 * acquisition opens the device itself, so 1 says nothing about the device,
 * and the first acquisition reports one that is missing. */
KELMO_API int KELMO_CALL Checkcard(int cardType, char* text, int* status);

/* ---- single channel (channel counts from 1) --------------------------------- */
/* gain: the simulated source scales its signal by it (0 gives zeros, with
 * success); the cards behind the driver refuse a gain that has no gain
 * code: 0 on every card, and below 0 where the code is its logarithm (all
 * but card 653, whose code is 256 / gain). The same holds for the block
 * and continuous exports below. */
KELMO_API int KELMO_CALL OneChSam(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel,
                                  double* out);
KELMO_API int KELMO_CALL OneChSamEx(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel,
                                    double* out);
/* n raw words: 16-bit, or 32-bit for the card types of 4-byte words
 * (GetCardWordType: 124, 890, 891, 892). */
KELMO_API int KELMO_CALL OneChSamW(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel,
                                   void* out);

/* ---- several channels, one block; output channel-major ---------------------- */
/* channels: count, or first channel x 256 + count (count 0 meaning 256).
 * The simulated source has 32 entries: channel i of a block is entry
 * (first + i) mod 32, so a 33rd channel repeats the first. */
KELMO_API int KELMO_CALL MulChSam(int cardType, int freqCode, int len, int gain, int channels, double* out);
/* chGains: 32 per-channel gains; firstChannel may be null (channel 0). */
KELMO_API int KELMO_CALL MulChSamEx(int cardType, int freqCode, int len, int gain, int count, double* out,
                                    const double* chGains, const int* firstChannel);
/* Raw words: 16-bit, or 32-bit for the card types of 4-byte words
 * (GetCardWordType: 124, 890, 891, 892). */
KELMO_API int KELMO_CALL MulChSamW(int cardType, int freqCode, int len, int gain, int channels, void* out);
KELMO_API int KELMO_CALL MulChSamWEx(int cardType, int freqCode, int len, int gain, int count, void* out,
                                     const double* chGains, const int* firstChannel);

/* ---- continuous acquisition --------------------------------------------------- */
/* A count of 0 or less acquires the single channel -count. */
KELMO_API int KELMO_CALL Set_dbl_MulChSam(uint32_t* handleWord, int cardType, int freqCode, int gain,
                                          int channels, int blockLen);
KELMO_API int KELMO_CALL Set_dbl_MulChSamEx(uint32_t* handleWord, int cardType, int freqCode, int gain,
                                            int count, int blockLen, const double* chGains,
                                            const int* firstChannel);
/* Sample s of channel i goes to buf[offset + i * stride + s]. Card type
 * 1230 is the simulated source without real-time pacing. */
KELMO_API int KELMO_CALL get_dbl_data(uint32_t* handleWord, int cardType, int len, int nch, double* buf,
                                      int stride, int offset, int* status);
/* Raw words (16 or 32 bits, as for MulChSamW); offset 65535 interleaves the
 * channels. */
KELMO_API int KELMO_CALL get_dbl_dataW(uint32_t* handleWord, int cardType, int len, int nch, void* buf,
                                       int stride, int offset, int* status);
KELMO_API void KELMO_CALL recover(uint32_t* handleWord, int cardType);

/* ---- triggered acquisition ------------------------------------------------------ */
/* mode: pre-trigger samples (mode % 1024) and slope (mode / 1024: 0 level,
 * 1 rising, 2 falling). Result 0 triggered, 1 interrupted, 2 failed,
 * 3 failed (cards 802-808, 881, 882), 4 trigger flag not available. A
 * slope of 3 or more never fires and is refused at once (2, or 3 on those
 * cards).
 * An interrupt (InterruptTrigSample) ends the call at any point, before
 * or after the trigger fired, with 1: before it, each channel holds the
 * newest block searched (as far as len reaches), after it, the samples
 * delivered so far; the rest are zeros. The call clears the interrupt as
 * it starts, since one left from an earlier run would end it at once: an
 * interrupt sent before the call is lost, and a host that no longer wants
 * the acquisition does not start it. */
KELMO_API int KELMO_CALL TriMulChSam(int mode, int trigChannel, double level, int cardType, int freqCode,
                                     int len, int gain, int nch, double* out);
KELMO_API int KELMO_CALL TriMulChSamEx(int mode, int trigChannel, double level, int cardType, int freqCode,
                                       int len, int gain, int nch, double* out, const double* chGains,
                                       const int* firstChannel);
/* Ends a running triggered acquisition (from any thread or process); 0
 * when none runs. */
KELMO_API int KELMO_CALL InterruptTrigSample(void);

/* ---- speaker playback -------------------------------------------------------------- */
/* Opens the first waveform-output device at a standard rate near `rate` and
 * starts playing silence; fullScale is the signal value of code 32768. */
KELMO_API int KELMO_CALL OpenSpeaker(double rate, int channels, int volume, double fullScale);
/* Plays count samples per channel from left[start] (and right[start] for two
 * channels; length: the arrays' size, which the resampler reads within);
 * returns once the device has reached them. At most 8192 values per call. */
KELMO_API int KELMO_CALL TransSpeakerData(int count, int start, int length, const double* left,
                                          const double* right);
KELMO_API int KELMO_CALL CloseSpeaker(void);

/* ---- recording input ----------------------------------------------------------------- */
/* Shows the recording-input dialog (microphone or line in, and its volume)
 * and stores the choice, which Checkcard(800) then uses. Where no dialog can
 * be shown (Linux without a display or without GTK 3) it says so on the
 * console and leaves the stored choice as it was. */
KELMO_API void KELMO_CALL SetSoundWaveIn(void);

/* ---- data folder ---------------------------------------------------------------------- */
/* Lets the user choose a data folder: the system's folder browser with an
 * edit box for typing a path (Windows), a folder dialog of GTK 3 (Linux).
 * path is a buffer of at least 260 bytes: on entry the folder to start in
 * (empty: the current directory), on a result of 1 the confirmed folder
 * (at most 259 bytes and the NUL; a longer one is refused in the chooser,
 * never cut). A missing folder is created, level by level, once the user
 * agreed. parent is the host's window (an HWND on Windows) or NULL. 0 when
 * the user closed the chooser any other way, or none can be shown (the
 * reason goes to the console); path is then unchanged and kelmo_last_error
 * says which. Windows paths start with a drive ("D:\data") and are in the
 * process's ANSI code page (GetACP), as the host's other texts: a folder
 * whose name that code page cannot hold is refused in the chooser, with a
 * warning saying so. Linux paths are absolute ("/data"), in UTF-8; the
 * levels follow the same rules on both. */
KELMO_API int KELMO_CALL ChangePath(char* path, void* parent);

/* ---- analogue output (D/A), cards 678, 679, 698, 699 ---------------------------- */
/* Requests on the device handle that *handleWord holds (the handle word of a
 * running continuous acquisition); buffer: 32768 bytes the driver may read
 * or write. 1 when the driver accepted the request. For any other card
 * type nothing is sent: InitialDA and SetFixDA return 0, SetDAData 1. */
KELMO_API int KELMO_CALL InitialDA(uint32_t* handleWord, int cardType, int channelField, int rateField,
                                   void* buffer);
KELMO_API int KELMO_CALL SetFixDA(uint32_t* handleWord, int cardType, int channelField, int rateField,
                                  void* buffer);
KELMO_API int KELMO_CALL SetDAData(uint32_t* handleWord, int cardType, int channelField, void* buffer,
                                   int lengthField);

/* ---- card catalogue -------------------------------------------------------- */
/* gains must hold 10 doubles and freqs 27 ints; null pointers are skipped. */
KELMO_API void KELMO_CALL GetADParameter(int cardType, int* channels, double* gains, int* gainCount,
                                         int* freqs, int* freqCount, int* auxCode,
                                         double* highFreq, double* lowFreq, int* fullScale);
KELMO_API int KELMO_CALL GetADParameterEx(int cardType, AdParamRecord* record, double* gains,
                                          int* freqs);
KELMO_API int KELMO_CALL SetChannelOK(int cardType);
KELMO_API void KELMO_CALL GetCardWordType(int cardType, int* wordBytes);

/* Fixed answers. The box routine reads only the card type (1 for 886). */
KELMO_API int KELMO_CALL SearchNumberOfChannel(int cardType, ...);
KELMO_API int KELMO_CALL SetBox(int cardType, ...);
KELMO_API int KELMO_CALL ReadBoxChannel(int cardType, ...);
KELMO_API int KELMO_CALL SetBoxChannel(int cardType, ...);
/* These return 0 and do nothing else. */
KELMO_API int KELMO_CALL OpenDeviceDA(void);
KELMO_API int KELMO_CALL CloseDeviceDA(void);
KELMO_API int KELMO_CALL DI_R_Line(void);
KELMO_API int KELMO_CALL DI_R_Port(void);
KELMO_API int KELMO_CALL DO_R_Line(void);
KELMO_API int KELMO_CALL DO_R_Port(void);
KELMO_API int KELMO_CALL DO_W_Line(void);
KELMO_API int KELMO_CALL DO_W_Port(void);
KELMO_API int KELMO_CALL GetROUND(void);
KELMO_API int KELMO_CALL StressSet(void);
KELMO_API int KELMO_CALL BoxChannelAutoZero(void);
KELMO_API int KELMO_CALL TriMulChSamW(void);
/* These do nothing. */
KELMO_API void KELMO_CALL RecoverDA(void);
KELMO_API void KELMO_CALL InitROUND(void);
KELMO_API void KELMO_CALL InitROUND1(void);

/* ---- channel numbering ----------------------------------------------------- */
KELMO_API int KELMO_CALL get_ph_ch(int cardType, int channel);
KELMO_API int KELMO_CALL get_tot_ch(int cardType, int count);

/* ---- settings files (current directory) ------------------------------------ */
/* settings points at 768 doubles: 256..511 coupling flags, 512..767 modes. */
KELMO_API void KELMO_CALL LoadACDC(double* settings);
KELMO_API void KELMO_CALL SaveACDC(double* settings);
KELMO_API void KELMO_CALL LoadACDC2(double* settings);
KELMO_API void KELMO_CALL SaveACDC2(double* settings);
KELMO_API void KELMO_CALL LoadChMode(double* settings);
KELMO_API void KELMO_CALL SaveChMode(double* settings);
KELMO_API void KELMO_CALL LoadChMode2(double* settings);
KELMO_API void KELMO_CALL SaveChMode2(double* settings);

/* ---- numerical routines ---------------------------------------------------- */
/* Burg fit of m coefficients (d[1..m]) to n samples; *xms = -1.0 when
 * n < 1, n > 1024 or m > 1024. */
KELMO_API void KELMO_CALL memcof(double* data, int n, int m, double* xms, double* d);
/* Spectrum at N + 1 frequencies f0 .. f1 into out[0..N]; returns their sum. */
KELMO_API double KELMO_CALL evlmem(double f0, double f1, int N, double* out, double* d, int m,
                                   double xms);
/* Second derivatives of the cubic spline; |yp1|, |ypn| > 9.9e29 ask for a
 * natural end. n < 2 leaves y2 untouched. */
KELMO_API void KELMO_CALL spline(double* x, double* y, int n, double yp1, double ypn, double* y2);
/* Value of the spline at x; 0.0 for n < 2 or equal bracketing abscissas. */
KELMO_API double KELMO_CALL splint(double* xa, double* ya, double* y2a, int n, double x);
/* Per-element attainable SNR (level) and score in 0..1; always 1 unless a
 * required array is null (then 0). */
KELMO_API int KELMO_CALL CheckSNR(int cardType, int count, double* a, int peakFlag, double d,
                                  double* level, double* b, double* score);

/* ---- what a card type offers (kelmo extension) ------------------------------ */
/* The rules the library applies, so that a host need not derive them
 * again from the catalogue. Each takes the card type code as the
 * acquisition exports do (a negative code is the second unit of the same
 * card, 831 .. 859 stand for 801 .. 829), and fails with 0 and a reason
 * (kelmo_last_error) for a code that is not in the catalogue, except that
 * a card behind the driver outside it whose divider the library reads
 * back (the 32-bit cards) has limits (its clock), a divider and up to 256
 * channels, and no listed rates or gains. For the
 * sound card each asks the first capture device: without one they fail,
 * saying why in the system's words, and show no message box. */

/* The card type code a code stands for: 801 .. 829 for the alias codes
 * 831 .. 859, every other code itself. A host that lists the catalogue
 * lists each card once by leaving out the codes that stand for another. */
KELMO_API int KELMO_CALL kelmo_card_stands_for(int cardType);

/* Where the samples of a card type come from: KELMO_SOURCE_SIMULATED (123,
 * 124), KELMO_SOURCE_SOUND (800), KELMO_SOURCE_DRIVER (a card behind the
 * device ZEB1), or KELMO_SOURCE_NONE for a code the catalogue lacks. */
#define KELMO_SOURCE_NONE 0
#define KELMO_SOURCE_SIMULATED 1
#define KELMO_SOURCE_DRIVER 2
#define KELMO_SOURCE_SOUND 3
KELMO_API int KELMO_CALL kelmo_card_source(int cardType);

/* The sampling rates (Hz) a host offers its user, highest first, each
 * once: the catalogue's list (GetADParameter) without the rates above the
 * card's highest or below its lowest, and for the sound card the standard
 * rates its capture device records. Writes at most `capacity` of them
 * into `rates` (which may be null with a capacity of 0) and returns how
 * many there are. */
KELMO_API int KELMO_CALL kelmo_card_rates(int cardType, double* rates, int capacity);

/* The lowest and highest sampling rate (Hz) of a card type; a lowest of 0
 * means that only the divider's range limits it. Either pointer may be
 * null. Returns 1. */
KELMO_API int KELMO_CALL kelmo_card_rate_limits(int cardType, double* lowest, double* highest);

/* The gains a host can ask for: the catalogue's gains that are whole
 * numbers of 1 or more, ascending (the exports take the gain as a whole
 * number, so a gain such as 0.5 cannot be asked for and is not offered).
 * Copies and counts as kelmo_card_rates does. */
KELMO_API int KELMO_CALL kelmo_card_gains(int cardType, int* gains, int capacity);

/* The divider (freqCode) for `rate` Hz over `channels` channels, and the
 * rate it really samples at (`actual`; for the sound card's divider 40,
 * 8000 Hz, where GetFre reads 8820). The simulated source and the sound
 * card choose it as PreSamp does, which a host still calls before it
 * acquires (it sets the clock the divider runs on); a card behind the
 * driver gets the divider whose read-back (GetFre) comes nearest. Fails
 * for a rate outside the card's limits (the sound card: one it does not
 * record at) and for a count of channels the card does not have. Either
 * pointer may be null. */
KELMO_API int KELMO_CALL kelmo_card_divider(int cardType, double rate, int channels, uint32_t* freqCode,
                                            double* actual);

/* The most samples per channel one block of a continuous acquisition of
 * `channels` channels may hold (get_dbl_data's len): 5887 / channels for
 * the sound card, whose ring serves no more; INT_MAX where the library
 * sets no limit. */
KELMO_API int KELMO_CALL kelmo_block_limit(int cardType, int channels);

/* ---- host hooks (kelmo extension) ------------------------------------------ */
/* Message boxes normally go to a message box on Windows (the GBK texts read
 * through code page 936, whatever the system's code page) and to stderr (as
 * UTF-8) elsewhere; console lines (the device's open, close and request
 * failures, each ending in a line feed) go to stdout on Windows and to
 * stderr elsewhere. A host may take both over: the handler receives each
 * text exactly as the library stores it (bytes in the GBK code page),
 * NUL-terminated. Passing null restores the default. */
typedef void(KELMO_CALL* kelmo_message_handler)(const char* text, void* context);
KELMO_API void KELMO_CALL kelmo_set_message_handler(kelmo_message_handler handler, void* context);

/* Where the library waits for the sound card or a trigger it lets the
 * calling thread's window messages run. On Windows it dispatches them
 * itself; on every system it then calls this hook, if the host installed
 * one, between polls (on Linux the host's own event loop belongs there).
 * Passing null restores the default. */
typedef void(KELMO_CALL* kelmo_dispatch_hook)(void* context);
KELMO_API void KELMO_CALL kelmo_set_dispatch_hook(kelmo_dispatch_hook hook, void* context);

/* The version of the library the process loaded, "MAJOR.MINOR.PATCH". */
KELMO_API const char* KELMO_CALL kelmo_version(void);

/* Why the calling thread's last export failed: one English sentence in
 * UTF-8 naming what failed, the cause (the system's words for it, and the
 * device, socket, shared memory or file concerned) and what to do, for
 * example "OneChSam failed: no acquisition device is served at
 * /run/user/1000/kelmo/ZEB1; start zebsim or the driver service". An export
 * that does not fail leaves "" here; the results, texts and message boxes
 * of the exports are the same with or without it. Copies at most size - 1
 * bytes and a NUL into buf (never part of a character) and returns the
 * whole reason's length in bytes, so a host may ask with size 0 first. The
 * reason stays until the thread's next export other than these hooks. A
 * message handler that asks while an export runs (the library showing a
 * message on its way to a failure) gets that export's reason so far, ""
 * while it has none. */
KELMO_API int KELMO_CALL kelmo_last_error(char* buf, int size);

#ifdef __cplusplus
}
#endif

#endif /* KELMO_H */
