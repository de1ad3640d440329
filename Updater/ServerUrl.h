// The update server the tool asks when -u names none.
#ifndef _ServerUrl_H_
#define _ServerUrl_H_

#define UPDATER_DEFAULT_SERVER_URL "http://update.velmoran.example/cgi/u"

#endif
