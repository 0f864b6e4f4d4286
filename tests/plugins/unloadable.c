/* Shared objects that the dynamic loader must refuse; the server must log why and go on.
 * Built twice: with UNLOADABLE_UNDEFINED it needs a function that nothing defines, so binding
 * its symbols fails; without, it is compiled for the other architecture (-m32 beside a 64-bit
 * server, -m64 beside a 32-bit one). Either way none of its code ever runs. */
#ifdef UNLOADABLE_UNDEFINED
extern int zent_defined_nowhere(void);
#else
static int zent_defined_nowhere(void) { return 0; }
#endif

int Load(void* context, void* info);

int Load(void* context, void* info) {
  (void)context;
  (void)info;
  return zent_defined_nowhere();
}
