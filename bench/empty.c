/* An empty Windows program: the cost of starting any process under Wine. */
int wmain(void) { return 0; }
