#include "TestEngines.h"

QByteArray TestEngines::noStage()
{
    return "engine_title::Tube\n"
           "engine_id::tube\n"
           "download_target::http://127.0.0.1:PORT/v/%s.mp4\n"
           "download_ext::.mp4\n";
}

QByteArray TestEngines::oneStage(const QByteArray &target, const QByteArray &ext)
{
    const QByteArray stage = "engine_title::Tube\n"
                             "engine_id::tube\n"
                             "dowuload_redirect::1\n"
                             "download_url0::http://127.0.0.1:PORT/watch/%s\n"
                             "download_key0::src=\"\n"
                             "download_key0_::\"\n";
    return stage + "download_target::" + target + "\ndownload_ext::" + ext + '\n';
}

QByteArray TestEngines::watchPage(const QByteArray &id)
{
    return "<html><video src=\"" + id + ".bin\"></video></html>";
}

QByteArray TestEngines::searching(const QByteArray &title)
{
    const QByteArray rest = "engine_id::tube\n"
                            "search_name::http://127.0.0.1:PORT/results-%d.html?q=%s\n"
                            "search_name_option::0\n"
                            "search_start::1\n"
                            "search_step::20\n"
                            "find0_http::unused\n"
                            "find0_top::<li class=\"hit\"\n"
                            "find0_top_::>\n"
                            "find0_id::<a href=\"/watch?v=\n"
                            "find0_id_::\">\n"
                            "find0_title::<span class=\"title\">\n"
                            "find0_title_::</span>\n"
                            "find0_user::<span class=\"user\">\n"
                            "find0_user_::</span>\n"
                            "find0_image::<img src=\"\n"
                            "find0_image_::\"\n"
                            "find0_time::<span class=\"time\">\n"
                            "find0_time_::</span>\n"
                            "download_target::http://127.0.0.1:PORT/v/%s.mp4\n"
                            "download_ext::.mp4\n";
    return "engine_title::" + title + '\n' + rest;
}
