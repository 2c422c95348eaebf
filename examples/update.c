/* An updater in a page, on libkestro's C interface: makes the delta that
 * turns ORIGINAL into NEWER, then applies it to ORIGINAL, drawing a
 * progress bar for both.
 *
 *     update [--cancel] ORIGINAL NEWER
 *
 * With --cancel the update stops half-way, to show that a cancelled update
 * leaves ORIGINAL exactly as it was. Build it with CMakeLists.txt beside
 * it, or with pkg-config:
 *
 *     cc update.c -o update $(pkg-config --cflags --libs kestro)
 */
#include <kestro/kestro.h>

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <glob.h>
#endif

/* What the progress callback gets as its context. */
struct Progress {
    const char* label;
    int cancel_half_way;
};

/* Draws "Applying [####......]  40%" over itself. Returning non-zero
 * cancels the call. */
static int ShowProgress(void* context, unsigned long long done, unsigned long long total) {
    const struct Progress* progress = context;
    enum { Width = 40 };
    const unsigned long long filled = total == 0 ? Width : done * Width / total;
    printf("\r%-8s [", progress->label);
    for (unsigned long long i = 0; i < Width; ++i) {
        putchar(i < filled ? '#' : '.');
    }
    printf("] %3llu%%", total == 0 ? 100 : done * 100 / total);
    fflush(stdout);
    return progress->cancel_half_way && 2 * done >= total;
}

/* Prints the outcome of kestro_create or kestro_apply; returns whether the
 * call did its work (warnings included). */
static int Report(int code, const char* message) {
    putchar('\n');
    switch (code) {
    case KESTRO_CANCELLED:
        puts("Cancelled.");
        return 0;
    case KESTRO_FAILED:
        printf("Failed: %s\n", message);
        return 0;
    default:
        /* "OK", a warning, or why the delta does not fit the file. */
        puts(kestro_result_message(code) != NULL ? kestro_result_message(code) : "?");
        return code == KESTRO_OK || code == KESTRO_NEWER_UNVERSIONED ||
               code == KESTRO_ORIGINAL_UNVERSIONED || code == KESTRO_SOURCE_UNVERSIONED;
    }
}

/* kestro_create names the delta "<original>_<newer version>.kst", with the
 * version read from inside the newer file, so the name is looked up here:
 * there must be exactly one such delta. */
static int FindDelta(const char* original, char* delta, size_t size) {
    char pattern[4096];
    snprintf(pattern, sizeof pattern, "%s_*.kst", original);
    int found = 0;
#ifdef _WIN32
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        /* The search gives names without their folder. */
        const char* name = original;
        for (const char* c = original; *c != '\0'; ++c) {
            if (*c == '/' || *c == '\\' || *c == ':') {
                name = c + 1;
            }
        }
        do {
            snprintf(delta, size, "%.*s%s", (int)(name - original), original, entry.cFileName);
            ++found;
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
#else
    glob_t matches;
    if (glob(pattern, 0, NULL, &matches) == 0) {
        found = (int)matches.gl_pathc;
        snprintf(delta, size, "%s", matches.gl_pathv[0]);
        globfree(&matches);
    }
#endif
    if (found != 1) {
        printf("Expected one delta named %s, found %d\n", pattern, found);
    }
    return found == 1;
}

/* A fingerprint of a file's content (64-bit FNV-1a), to show it unchanged. */
static unsigned long long Fingerprint(const char* path) {
    unsigned long long hash = 14695981039346656037ull;
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return 0;
    }
    for (int c = getc(file); c != EOF; c = getc(file)) {
        hash = (hash ^ (unsigned char)c) * 1099511628211ull;
    }
    fclose(file);
    return hash;
}

int main(int argc, char** argv) {
    const int cancel = argc == 4 && strcmp(argv[1], "--cancel") == 0;
    if (argc != 3 + cancel) {
        fprintf(stderr, "Usage: update [--cancel] ORIGINAL NEWER\n");
        return 2;
    }
    const char* original = argv[1 + cancel];
    const char* newer = argv[2 + cancel];

    /* One set of options for both calls: the callback, its context, and
     * room for the message of a failure. */
    char message[512] = "";
    struct Progress progress = {"Creating", 0};
    kestro_options options = {ShowProgress, &progress, message, sizeof message};

    if (!Report(kestro_create(original, newer, &options), message)) {
        return 1;
    }
    char delta[4096];
    if (!FindDelta(original, delta, sizeof delta)) {
        return 1;
    }
    printf("Made %s\n", delta);

    /* Applying checks that ORIGINAL is the file the delta was made from,
     * rebuilds the newer file beside it, keeps a backup of ORIGINAL and
     * only then puts the newer file in its place. */
    const unsigned long long before = Fingerprint(original);
    progress.label = "Applying";
    progress.cancel_half_way = cancel;
    const int applied = Report(kestro_apply(delta, &options), message);
    if (cancel) {
        const int untouched = !applied && Fingerprint(original) == before;
        printf("%s is %s\n", original, untouched ? "untouched" : "CHANGED");
        return untouched ? 0 : 1;
    }
    if (applied) {
        printf("%s now has the content of %s; the old one is kept beside it\n", original, newer);
    }
    return applied ? 0 : 1;
}
