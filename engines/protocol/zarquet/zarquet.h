/*
 * libzarquet: the IMAP transport the IMAP engine loads at run time.
 *
 * It speaks IMAP itself over OpenSSL rather than through libcurl's IMAP support: libcurl has
 * no IDLE (a custom IDLE request never completes), and a connection opened with
 * CURLOPT_CONNECT_ONLY cannot be upgraded with STARTTLS afterwards. With OpenSSL directly one
 * small poll loop bounds every read and write, reacts to Zarquet_Cancel through a pipe, and
 * verifies certificates as the HTTP client does (system store plus the extra CA files). Being
 * a file of its own, the library does not link the program's core: it reads TARVEL_CA_FILE
 * and the TARVEL_CONNECT_TO redirection (libcurl's CONNECT_TO entries) itself, by the HTTP
 * client's rules, and the engine hands it the CertificateAuthorityFile setting.
 *
 * An access token logs in with SASL XOAUTH2, or with OAUTHBEARER (RFC 7628) when the server
 * offers that and not XOAUTH2. A refused token's error challenge (JSON) is answered so that
 * the server ends the exchange, and its status is part of Zarquet_GetLastError's text.
 *
 * Credentials never travel in clear text to another machine: an imap:// URL is upgraded with
 * STARTTLS whenever the server offers it, and without it a login is sent only to a loopback
 * peer; otherwise the command fails with ZARQUET_ERROR_USE_SSL_FAILED and a readable reason.
 *
 * Call contract (all text is zero-terminated narrow text; results are nonzero on success):
 *   Zarquet_IMAP_Init(user, password, accessToken)  sets up the session with these
 *     credentials; a new call replaces the session (its connection is closed).
 *   Zarquet_IMAP_DeInit()  ends the session (its connection may be kept; see below).
 *   Zarquet_IMAP_ExecuteCommand(url, command, callback, context, timeoutMs, errorCode)
 *     With a URL: connects (or reuses the open connection to the same server), asks for the
 *     capabilities (tag A001), authenticates (A002), selects the mailbox of the URL path (A003)
 *     and then runs the command, or the search of the URL query (A004 on a fresh connection).
 *     Without a URL: runs the command on the open connection. "IDLE" stays in IDLE until the
 *     time-out or Zarquet_Cancel. Every server line reaches the callback in order, the tagged
 *     ones included, with its line end. timeoutMs 0 means ZARQUET_DEFAULT_TIMEOUT_MS.
 *     On failure *errorCode holds one of the ZARQUET_ERROR_* codes.
 *   Zarquet_Cancel()  makes the running command return (ZARQUET_ERROR_ABORTED); callable from
 *     the line callback and from any other thread.
 *
 * Extensions (optional; a caller must cope with their absence):
 *   Zarquet_SelectSession(slot)  the calling thread uses session `slot` (0 to 7) from now on.
 *     One process loads the library once, so the three IMAP accounts select their own session.
 *   Zarquet_SetCertificateAuthorityFile(path)  an extra CA file to trust besides the system
 *     store and the file named by the environment variable TARVEL_CA_FILE; "" for none.
 *   Zarquet_GetLastError(buffer, size)  a readable text of the selected session's last failure.
 *   Zarquet_IMAP_Close()  like DeInit, but the connection is closed at once, never kept (for an
 *     engine that goes away).
 *
 * Keeping sessions. Logging in costs a TLS handshake and several round trips, and providers
 * count logins (many throttle or lock accounts that log in too often), while the engine opens
 * a session for every folder and after every IDLE. So DeInit leaves a healthy connection open
 * for ZARQUET_KEEP_SESSION_MS, and the next Init of the same session slot with the same
 * credentials (compared by a SHA-256 digest; the secrets themselves are wiped at DeInit)
 * takes it up instead of connecting and logging in again; Init after an IDLE does the same
 * without DeInit. Healthy means: logged in, every command completed with OK (an IDLE ended
 * with DONE and its tagged OK), no BYE seen, and nothing sent by the server since. Anything
 * else (a BYE, an error, a refused command, other credentials, unread input or a closed
 * socket, the time passed) closes it, and a fresh connection and login follow. A taken-up
 * connection answers the next URL with the steps of a fresh one, under the same tags: it runs
 * CAPABILITY again as A001 (so the capabilities reach the callback), leaves A002 unused as
 * after PREAUTH, and selects the mailbox again as A003, so that the caller sees no
 * difference but speed. An expired connection is closed at the session's next call, not by a
 * timer: nothing in the library wakes while the program idles.
 */
#ifndef ZARQUET_H
#define ZARQUET_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZARQUET_EXPORT __attribute__((visibility("default")))

/* Error codes: the numbering of libcurl's CURLcode, so a log reads the same either way. */
#define ZARQUET_ERROR_UNSUPPORTED_PROTOCOL 1
#define ZARQUET_ERROR_FAILED_INIT 2
#define ZARQUET_ERROR_URL_MALFORMAT 3
#define ZARQUET_ERROR_COULDNT_RESOLVE_HOST 6
#define ZARQUET_ERROR_COULDNT_CONNECT 7
#define ZARQUET_ERROR_WEIRD_SERVER_REPLY 8
#define ZARQUET_ERROR_QUOTE_ERROR 21 /* the server refused a command */
#define ZARQUET_ERROR_OPERATION_TIMEDOUT 28
#define ZARQUET_ERROR_SSL_CONNECT 35
#define ZARQUET_ERROR_ABORTED 42 /* Zarquet_Cancel */
#define ZARQUET_ERROR_SEND 55
#define ZARQUET_ERROR_RECV 56
#define ZARQUET_ERROR_PEER_FAILED_VERIFICATION 60
#define ZARQUET_ERROR_USE_SSL_FAILED 64 /* credentials would travel unencrypted */
#define ZARQUET_ERROR_LOGIN_DENIED 67
#define ZARQUET_ERROR_REMOTE_FILE_NOT_FOUND 78 /* the mailbox could not be selected */

/* The bound of a command when the caller gives no time-out. */
#define ZARQUET_DEFAULT_TIMEOUT_MS 60000u
/* The longest response line (or literal) accepted; a longer one fails the command. */
#define ZARQUET_MAX_LINE_LENGTH (1024u * 1024u)
#define ZARQUET_MAX_LITERAL_LENGTH (8u * 1024u * 1024u)
#define ZARQUET_SESSION_COUNT 8u
/* How long DeInit keeps a healthy connection for the next Init with the same credentials. */
#define ZARQUET_KEEP_SESSION_MS 30000u

typedef int (*Zarquet_LineCallback)(const char* line, void* context);

ZARQUET_EXPORT int32_t Zarquet_IMAP_Init(const char* user, const char* password,
                                         const char* accessToken);
ZARQUET_EXPORT int32_t Zarquet_IMAP_DeInit(void);
ZARQUET_EXPORT int32_t Zarquet_IMAP_ExecuteCommand(const char* url, const char* command,
                                                   Zarquet_LineCallback callback, void* context,
                                                   uint32_t timeoutMs, int32_t* errorCode);
ZARQUET_EXPORT int32_t Zarquet_Cancel(void);

ZARQUET_EXPORT int32_t Zarquet_SelectSession(uint32_t slot);
ZARQUET_EXPORT int32_t Zarquet_SetCertificateAuthorityFile(const char* path);
ZARQUET_EXPORT int32_t Zarquet_GetLastError(char* buffer, uint32_t size);
ZARQUET_EXPORT int32_t Zarquet_IMAP_Close(void);

#ifdef __cplusplus
}
#endif

#endif /* ZARQUET_H */
