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
