// Group database: newsgroups and their article-number rings.
#pragma once

int GroupInit();
void GroupClose();
