"""A few distinct pieces of prose for the host tests, each long enough to carry a watermark."""

ARTICLE = (
    "The river authority voted on Tuesday to reopen the old ferry crossing at Hollins Reach, closed since "
    "the flood of the spring before last. Engineers had argued for a new bridge upstream, but the cost, "
    "nearly four times the ferry's, decided the matter within an hour of debate.\n\n"
    "Residents on the eastern bank have spent two winters driving forty minutes around the estuary to "
    "reach the clinic, the secondary school and the only supermarket that stays open after six. Several "
    "spoke at the meeting, among them a retired pilot who offered to train the new crew without pay.\n\n"
    "The ferry itself, a flat steel hull with room for eight cars, has been kept in a boatyard at Merrow "
    "and needs new engines and a fresh coat of paint. The authority expects the first crossing in early "
    "autumn, weather permitting, and has promised a timetable that matches the school day."
)

ESSAY = (
    "Every gardener eventually learns that soil is not dirt. It is a slow city of fungi, bacteria, "
    "beetles and worms, each trading in sugars, minerals and water, and the plants we care about are "
    "only the most visible citizens. Digging it over every autumn, as my grandfather did with such "
    "conviction, breaks that city apart and leaves it to rebuild from the rubble.\n\n"
    "These days I mulch instead. A thick layer of leaves in November, compost in March, and nothing "
    "turned unless a new bed needs breaking. The first year the beans sulked and the lettuces bolted, "
    "and I wondered whether the books had been written by people with larger gardens and more patience "
    "than mine. By the third year the ground had changed colour, darker and crumbly, and a handful "
    "smelled of a wood after rain."
)

NOTES = (
    "Version 2.4 of the scheduler changes how retries are counted. A job that fails now waits twice as "
    "long before each new attempt, up to a ceiling of one hour, instead of retrying at a fixed interval. "
    "Jobs that already carry their own retry policy keep it. The old behaviour can be restored with the "
    "fixed-interval option, which will be removed in the next major release.\n\n"
    "The command that lists queues gained a filter by owner, and its output is now sorted by the time "
    "each queue was created. Two crashes were fixed: one when a worker disconnected during a heartbeat, "
    "one when a job name contained a newline. Log lines now carry the job identifier at the start, which "
    "makes them easier to search."
)

FILLER = (
    "Mountain weather turns quickly in late summer. Clouds gather over the ridge after midday, thunder "
    "follows within the hour, and walkers who set out late often find themselves sheltering under "
    "boulders while hail bounces across the path. Guides advise starting at dawn, carrying a warm layer "
    "whatever the forecast says, and turning back at a fixed time rather than at a fixed place. The "
    "summit will still be there next year; the walker caught on the exposed arete in a storm may not be. "
    "Huts along the high route take bookings from May, serve a hot dinner at seven and expect lights out "
    "by ten, which suits most people after a long day of climbing."
)

PARAGRAPHS = ARTICLE.split("\n\n")
LINK = "<a href='/people/engineers' title='the engineers'>Engineers</a>"
# A published page with every kind of markup a reader never sees as text.
PAGE = f"""<!DOCTYPE html>
<html lang="en"><head><title>Ferry to reopen &amp; more</title>
<style>p {{ margin: 1em; }} .lead::before {{ content: "words in a style sheet" }}</style>
<script>var words = "the script has many words that nobody sees on the page at all";</script>
</head>
<body>
<h1 class="headline">Ferry&nbsp;crossing at Hollins&#160;Reach to reopen</h1>
<p class="lead">{PARAGRAPHS[0].replace("Tuesday", "<b>Tues</b>day").replace("Engineers", LINK)}</p>
<ul><li>Cost: four times the ferry&rsquo;s</li><li>Crossing: early autumn</li></ul>
<p>{PARAGRAPHS[1]}</p>
<table><tr><td>Hull</td><td>flat steel</td></tr><tr><td>Cars</td><td>eight</td></tr></table>
<div hidden><p>An archived note about the bridge plan that the page keeps but never shows.</p></div>
<details><summary>Timetable</summary><p>Crossings every thirty minutes once the slipway opens.</p></details>
<dialog><p>Subscribe to the river authority's letters, a dialog nobody has opened.</p></dialog>
<p style="color: grey; display: none">A correction drafted and withdrawn.<p>{PARAGRAPHS[2]}</p>
<!-- a comment with words that are not shown -->
</body></html>
"""

# Chinese prose without spaces between words, on unrelated subjects.
ZH_FERRY = (
    "每天清晨六点，第一班渡轮从南岸的小码头出发，载着赶去城里上班的工人、背着书包的学生和挑着蔬菜的农民。"
    "船长姓王，今年已经五十八岁了，他在这条江上开船整整三十年，从来没有出过一次事故。\n\n"
    "王船长说，江水的脾气一年四季都不一样。春天水位上涨，水流很急，靠岸的时候必须提前减速；"
    "夏天常有暴雨，雾气很重，他要不停地拉响汽笛提醒附近的小船；到了冬天，江面上的风又冷又硬，"
    "甲板上结了薄冰，乘客上下船都得格外小心。\n\n"
    "去年秋天，市政府决定在上游修建一座新的大桥。桥修好以后，开车过江只需要五分钟，"
    "很多人都认为渡轮很快就会停运。可是王船长并不担心，他说总有一些老人喜欢坐船，"
    "喜欢在船上看看江景、聊聊家常，这种慢慢悠悠的日子是大桥给不了的。\n\n"
    "傍晚最后一班船返航的时候，夕阳把整个江面染成了金红色。王船长站在驾驶室里，"
    "一边掌舵一边哼着年轻时学会的老歌，乘客们三三两两地靠在栏杆上，谁也不愿意说话，"
    "好像都怕打破这片难得的安静。"
)
ZH_GARDEN = (
    "我的祖母住在一个安静的山村里，她家的后院有一块不大的菜园。每年春节过后，"
    "她就开始翻土、施肥，准备种下新一年的种子。她种过西红柿、黄瓜、辣椒，也种过豆角和南瓜。\n\n"
    "祖母从来不用化肥，她把厨房里的剩菜剩饭和落叶混在一起，堆在墙角慢慢发酵，"
    "几个月以后就变成了黑色的肥料。她说这样种出来的菜味道更好，虫子也更少。\n\n"
    "小时候每逢暑假，我都会回到村里帮她浇水、摘菜。早上太阳还没有升起来，"
    "我们就提着水桶走到井边，一桶一桶地把水挑回菜园。祖母一边干活一边给我讲她年轻时候的故事，"
    "讲那些年村里怎样闹饥荒，讲她怎样一个人把五个孩子拉扯大。\n\n"
    "如今祖母已经八十多岁了，腿脚不太灵便，菜园交给了我的叔叔照看。可她每天还是要拄着拐杖到院子里转一转，"
    "看看新长出来的嫩芽，摸摸刚刚开花的瓜藤，脸上总是带着满足的笑容。"
)
ZH_LIBRARY = (
    "这座城市的公共图书馆建于上个世纪八十年代，外墙是灰色的砖，窗户又高又窄。"
    "走进大门，首先看到的是一排排木制的书架，上面摆满了各种各样的旧书和杂志。\n\n"
    "图书馆的管理员是一位戴眼镜的中年女士，她记得几乎每一位常来的读者的名字和爱好。"
    "有人喜欢历史，她会把新到的史书先留下来；有人喜欢小说，她会在借书卡上写下几本推荐的书名。\n\n"
    "周末的阅览室总是坐得满满的，有准备考试的中学生，有查资料的退休教师，也有带着孩子来读绘本的年轻父母。"
    "大家都很自觉地保持安静，只听得见翻书的沙沙声和窗外偶尔传来的鸟叫声。"
)
