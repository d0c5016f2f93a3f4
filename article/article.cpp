// Article acceptance: the module's settings and the insertion pipeline.
// Placeholder: filled in when this module is built.
#include "article/article.h"

int ArticleInit() { return 1; }
