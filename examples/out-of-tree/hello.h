/* hello.h: what hello.so and those who talk to it agree on. */
#ifndef HELLO_H_
#define HELLO_H_

#define HELLO_ID 4242u
#define HELLO_CLASS 0            /* class bit 0: flags 0x01, mask entry 0 */
#define HELLO_ASK 0x01000101u    /* queued: "who are you?", the payload names the asker */
#define HELLO_ANSWER 0x01000102u /* queued, from hello: "hello, " and the asker's payload */

#endif /* HELLO_H_ */
