// Lets old browsers style the HTML5 elements the pages use.
(function (doc) {
	var tags = ["header", "footer", "nav", "section", "article", "aside"];
	for (var i = 0; i < tags.length; i++) {
		doc.createElement(tags[i]);
	}
})(document);
