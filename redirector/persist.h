/* persist - the program as a persistent FastCGI responder (built where
 * libfcgi is found: LINKHOP_PERSISTENT). */
#ifndef LINKHOP_PERSIST_H
#define LINKHOP_PERSIST_H

/* Answers request after request on the listening socket that standard
 * input is (OsStandardInputListens), each with answer(), which runs one
 * request from CgiInit to CgiShutdown. Returns when the process is asked to
 * end (SIGTERM: after the request in hand) or the socket fails: 1, or 0
 * when the protocol library cannot start. A request that leaves a block of
 * the tracked heap is a fatal report. */
int ServePersistent(void (*answer)(void));

/* Answers the one request that libfcgi accepted into request with
 * answer(), the gateway reading its parameters and body and writing to its
 * streams. */
typedef struct FCGX_Request FCGX_Request;
void PersistentAnswer(FCGX_Request *request, void (*answer)(void));

#endif
