/* fcgi_floor - a trivial FastCGI responder on Debian's libfcgi: for every
 * request, the answer linkhop gives for the key "news" of the sample table,
 * and nothing else. The most a persistent redirector can hope for behind
 * the same server; scripts/bench.sh measures persistent linkhop against it.
 */
#include <fcgiapp.h>

#include "sample.h"

static const char kAnswer[] = SAMPLE_ANSWER;

/* As in linkhop: libfcgi can open a socket on a host name, which is never
 * asked for here, and looking names up in a static program would need the
 * C library's shared modules (the linker warns). */
struct hostent;
struct hostent *gethostbyname(const char *name) {
  (void)name;
  return 0;
}

int main(void) {
  FCGX_Request request;
  if (FCGX_Init() != 0 || FCGX_InitRequest(&request, 0, 0) != 0) return 1;
  while (FCGX_Accept_r(&request) >= 0) {
    FCGX_PutStr(kAnswer, (int)sizeof(kAnswer) - 1, request.out);
    FCGX_Finish_r(&request);
  }
  return 0;
}
