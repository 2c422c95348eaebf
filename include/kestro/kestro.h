/* Kestro: makes and applies binary delta files for executables and
 * libraries. This is the library's C interface, for updaters written in C,
 * C++ or any language that calls C (C# through P/Invoke, for instance).
 *
 * kestro_create writes the delta that turns an original file into a newer
 * one; kestro_apply finds the file a delta was made from beside it, checks
 * its version and checksum, rebuilds the newer file block by block (every
 * block checked), keeps a backup "<target>_<old version>.org" and puts the
 * newer file in its place: the target is either replaced whole or left as
 * it was. doc/FORMAT.md describes the delta file.
 *
 * The calls keep no state, print nothing, never change the working folder
 * and never end the process: calls on different files may run on different
 * threads at once, and calls that update one target wait for each other
 * (for up to about a minute). File names are 8-bit text: UTF-8 or the
 * system's usual encoding on POSIX, the ANSI code page on Windows (a file
 * whose name that code page cannot hold is out of reach of this interface
 * there; the kestro programs read their UTF-16 command line and reach it).
 * The same goes for the text the library gives back: messages and a
 * statement's original_name.
 */
#ifndef KESTRO_KESTRO_H
#define KESTRO_KESTRO_H

#include <stddef.h>

#if defined(_WIN32) && defined(KESTRO_SHARED)
#if defined(KESTRO_BUILDING)
#define KESTRO_API __declspec(dllexport)
#else
#define KESTRO_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && defined(KESTRO_BUILDING)
#define KESTRO_API __attribute__((visibility("default")))
#else
#define KESTRO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. 0 and the negative codes are the outcomes the command line
 * reports with one line each (kestro_result_message gives it); a call that
 * returns a warning has done its work. */
#define KESTRO_OK 0
#define KESTRO_NEWER_UNVERSIONED (-2)    /* create: done; the newer file has no version */
#define KESTRO_ORIGINAL_UNVERSIONED (-3) /* create: done; the original has no version */
#define KESTRO_CRC_WRONG (-4)            /* apply: the target's checksum differs */
#define KESTRO_WRONG_SOURCE_VERSION (-5) /* apply: the target is neither version */
#define KESTRO_SOURCE_UNVERSIONED (-6)   /* apply: done; the target had no version */
#define KESTRO_NO_TARGET (-7)            /* apply: the file to update is missing */
#define KESTRO_WRONG_DELTA_VERSION (-8)  /* apply: a delta format this library cannot read */
#define KESTRO_NOT_A_DELTA (-9)          /* apply: not a delta file */
#define KESTRO_ALREADY_UPDATED (-10)     /* apply: the target has the newer version */
#define KESTRO_FAILED 1                  /* a failure: options->message says which */
#define KESTRO_CANCELLED 2               /* progress asked to stop */
/* kestro_settings holds a field this library does not know (its size is
 * larger than this library's kestro_settings, and a byte beyond is not
 * zero): the caller asked for something this library cannot do, so it did
 * nothing. */
#define KESTRO_UNKNOWN_SETTING 3
/* (Since libkestro 1.4 also: settings->size is smaller than any published
 * kestro_settings, which no header gives; the call did nothing.) */
/* apply or verify with kestro_settings.public_key: the delta is not signed
 * with that key, or is not what was signed (no "<delta>.sig" beside it,
 * another key, a changed byte of the delta or of the signature file), the
 * file to update is not the signed original, or the delta would take it
 * back to a lower version and its signature does not say that is meant;
 * nothing was written. options->message says which. */
#define KESTRO_BAD_SIGNATURE 4
/* apply of a release package: files it reads are missing from the folder
 * or changed; options->message lists them, one a line; nothing was
 * written. */
#define KESTRO_CHANGED_FILES (-11)

/* Told how many bytes of how many are done: of the newer file when
 * creating, of the rebuilt file when applying. Called on the calling
 * thread as the work advances (after every MiB written or read), never
 * going back, and once at the end with done equal to total. While the work
 * runs without advancing done (checksums, sorting the original for a
 * compact delta, coding), it is called again with the same figures at
 * least once for every few MiB of work, many times a second, so that a
 * caller can stop the call at any moment. A non-zero return stops the
 * call, which then returns KESTRO_CANCELLED. */
typedef int (*kestro_progress_fn)(void* context, unsigned long long done, unsigned long long total);

/* The options of kestro_create and kestro_apply. Its layout is fixed for
 * ever, for programs built against libkestro.so.1's first header; new
 * fields go into kestro_settings. */
typedef struct kestro_options {
    kestro_progress_fn progress; /* may be NULL; a non-zero return cancels */
    void* context;               /* handed to progress */
    char* message;               /* may be NULL; receives the failure message */
    size_t message_size;         /* bytes at message, its terminating zero included */
} kestro_options;

/* Delta formats, for kestro_settings.format and kestro_format_supported. */
#define KESTRO_FORMAT_BLOCKS 0 /* format 1.0, block by block: the default */
#define KESTRO_FORMAT_COMPACT                                                                      \
    1 /* format 2: far smaller, slower to make; the                                                \
         newest minor version this library writes */
/* A format by its version number. For kestro_create_ex, a compact version
 * is the newest minor it may write, for updaters whose library reads no
 * newer one: KESTRO_FORMAT_VERSION(2, 0) for a reader of 2.0 only (the
 * first libkestro 1.1 was one; kestro_format_supported tells). A create
 * writes the lowest minor version whose features the delta uses, up to
 * that one. KESTRO_FORMAT_VERSION(1, 0) is KESTRO_FORMAT_BLOCKS' format. */
#define KESTRO_FORMAT_VERSION(major, minor) ((major)*256 + (minor))

/* The options of kestro_create_ex and kestro_apply_ex: kestro_options'
 * fields and those added since, behind a size that says which fields the
 * caller's header knew. Set size to sizeof(kestro_settings) (the
 * initializer KESTRO_SETTINGS_INIT does, with every other field zero).
 * Fields are only ever added at the end. A library reads no field beyond
 * size and takes the fields it has that lie beyond it as zero, so that a
 * program built against an older header works with a newer library. A
 * program built against a newer header may hand an older library a larger
 * struct: the library then requires every byte it does not know to be
 * zero, else the call returns KESTRO_UNKNOWN_SETTING and does nothing, so
 * that a setting the caller relies on is never silently ignored. (Zero the
 * whole struct, padding included, with the initializer or memset.) */
typedef struct kestro_settings {
    size_t size;                 /* sizeof(kestro_settings) */
    kestro_progress_fn progress; /* as in kestro_options */
    void* context;
    char* message;
    size_t message_size;
    int format; /* KESTRO_FORMAT_*: the delta kestro_create_ex writes */
    /* Since libkestro 1.3. kestro_create_ex only: the PEM text of an
     * Ed25519 private key ("kestro --keygen NAME" writes NAME.key), with
     * which the delta is signed: "<delta>.sig" is written beside it. NULL:
     * the delta is not signed, and a "<delta>.sig" of an earlier delta of
     * that name is removed. */
    const char* signing_key;
    /* Since libkestro 1.3. kestro_apply_ex only: the PEM text of an Ed25519
     * public key (NAME.pub). The delta must then be signed with it: the
     * signature and every byte of the delta are checked before any file is
     * written, and the rebuilt file before it replaces the target; else
     * KESTRO_BAD_SIGNATURE. NULL: no signature is looked at. An older
     * library refuses a call that sets it (KESTRO_UNKNOWN_SETTING). */
    const char* public_key;
    /* Since libkestro 1.4. kestro_create_ex with signing_key only: non-zero
     * signs a delta whose newer file's version is lower than the
     * original's, and its signature says the downgrade is meant; zero
     * refuses to sign one (KESTRO_FAILED), and an apply with a key refuses
     * a downgrade its signature does not mark. */
    int allow_downgrade;
    /* Since libkestro 1.4. kestro_apply_ex only: the file a delta updates,
     * or the folder a release package updates, when it is not the one
     * beside the delta. NULL: beside it. */
    const char* into;
} kestro_settings;

#define KESTRO_SETTINGS_INIT                                                                       \
    { sizeof(kestro_settings), NULL, NULL, NULL, 0, KESTRO_FORMAT_BLOCKS, NULL, NULL, 0, NULL }

/* Release packages (since libkestro 1.4): where both paths of a create
 * name folders, it writes the release package that turns the folder
 * original_path into newer_path, "<original folder>_<version>.kst" beside
 * it (every file the same as an original, a compact delta or whole; never
 * replacing a file of that name); an apply of a package updates the folder
 * it was made from, all or nothing, keeping "<folder>_<old version>.org";
 * kestro_verify checks a signed package as it checks a delta. Release
 * paths are UTF-8. */

/* Writes the delta that turns the file original_path into newer_path,
 * named "<original>_<newer file's version string>.kst" and placed beside
 * the original, replacing a delta of that name. Both paths may name
 * folders. Returns KESTRO_OK, KESTRO_NEWER_UNVERSIONED or
 * KESTRO_ORIGINAL_UNVERSIONED (the delta is complete in all three cases),
 * KESTRO_FAILED or KESTRO_CANCELLED; a failed or cancelled call leaves no
 * delta and no partial one, and an earlier delta of that name as it was.
 * options may be NULL. */
KESTRO_API int kestro_create(const char* original_path, const char* newer_path,
                             const kestro_options* options);

/* kestro_create with settings: the same, in the format settings->format
 * names (a format this library does not write fails with KESTRO_FAILED).
 * settings may be NULL. */
KESTRO_API int kestro_create_ex(const char* original_path, const char* newer_path,
                                const kestro_settings* settings);

/* Applies the delta at delta_path to the file it names, beside it. Returns
 * KESTRO_OK or KESTRO_SOURCE_UNVERSIONED when the target has been replaced
 * by the newer file, another result code when the delta does not fit (and
 * nothing was written), KESTRO_FAILED or KESTRO_CANCELLED; a failed or
 * cancelled call leaves the target untouched, no "<target>.new" and no
 * backup made by that call. options may be NULL. */
KESTRO_API int kestro_apply(const char* delta_path, const kestro_options* options);

/* kestro_apply with settings; a delta of either format applies. settings
 * may be NULL. */
KESTRO_API int kestro_apply_ex(const char* delta_path, const kestro_settings* settings);

/* What a signature says of an update, for kestro_verify. Set size to
 * sizeof(kestro_statement); a library fills the fields that lie within
 * size and fields are only ever added at the end. */
typedef struct kestro_statement {
    size_t size;           /* sizeof(kestro_statement), set by the caller */
    int signature_version; /* of the signature file: 1 or 2 */
    int format;            /* the delta's format, as KESTRO_FORMAT_VERSION */
    char key_id[17];       /* the signing key's id: 16 hexadecimal digits */
    /* The file the delta updates, beside it: its name (8-bit text, ended by
     * a zero) and version numbers (major, minor, release, build); its size
     * and SHA-512 where the signature file's version is 2 (else zero: a
     * version 1 signature knows the original by its CRC-32 only). */
    char original_name[72];
    unsigned int original_version[4];
    unsigned long long original_size;
    unsigned char original_sha512[64];
    /* The file the delta makes. */
    unsigned int newer_version[4];
    unsigned long long newer_size;
    unsigned char newer_sha512[64];
    /* Non-zero: the newer version is lower than the original's, and the
     * signer said that is meant. */
    int downgrade;
} kestro_statement;

/* Checks the delta at delta_path as kestro_apply_ex with
 * settings->public_key checks it before it looks at the file to update
 * (the signature, every byte of the delta, that the signed statement fits
 * the delta, a downgrade the statement does not mark), and fills statement
 * with what the signature says, so that an updater can decide for itself
 * whether to apply it (a delta older than the installed version, say:
 * a signature proves who made the delta, not that it is the newest).
 * settings->public_key is required. Reads no file but the delta and its
 * signature file, and writes none (a large delta is copied to a scratch
 * file beside it that goes with the call). Returns KESTRO_OK with
 * statement filled, KESTRO_BAD_SIGNATURE, KESTRO_NOT_A_DELTA or
 * KESTRO_WRONG_DELTA_VERSION for signed bytes this library cannot apply,
 * KESTRO_FAILED (no key, a statement size smaller than libkestro 1.4's,
 * a file that cannot be read), KESTRO_CANCELLED or KESTRO_UNKNOWN_SETTING.
 * Since libkestro 1.4. */
KESTRO_API int kestro_verify(const char* delta_path, const kestro_settings* settings,
                             kestro_statement* statement);

/* The library's version, "major.minor.patch"; static text. */
KESTRO_API const char* kestro_version(void);

/* Non-zero when this library reads deltas of format (a KESTRO_FORMAT_*
 * value or a KESTRO_FORMAT_VERSION), and kestro_create_ex writes it; zero
 * otherwise. libkestro 1.2 to 1.4 read 1.0, 2.0, 2.1 and 2.2; 1.4 also
 * release packages, KESTRO_FORMAT_VERSION(3, 0), which kestro_create_ex
 * writes for two folders; 1.5 also 2.3, and 1.6 also 2.4. */
KESTRO_API int kestro_format_supported(int format);

/* The command line's line for a result code ("OK", "Error: CRC is wrong",
 * ...; KESTRO_WRONG_DELTA_VERSION's holds two lines, parted by CR LF), or
 * NULL for a code that has none (KESTRO_FAILED, KESTRO_CANCELLED). The text
 * is static. */
KESTRO_API const char* kestro_result_message(int code);

#ifdef __cplusplus
}
#endif

#endif
